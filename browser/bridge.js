// The extension's side of tulix-bridge: one native port, requests numbered, answers matched
// to their requests by number. The host (and the searches it runs) lives as long as the port,
// so a page keeps one Bridge open for as long as it shows a search.
"use strict";

const TULIX_HOST = "org.tulix.bridge";

class Bridge {
  constructor() {
    this.nextId = 1;
    this.pending = new Map();
    this.closedReason = null;
    this.port = chrome.runtime.connectNative(TULIX_HOST);
    this.port.onMessage.addListener((message) => this.receive(message));
    this.port.onDisconnect.addListener(() => {
      const error = chrome.runtime.lastError;
      this.closedReason = error && error.message ? error.message : "the Tulix bridge has ended";
      for (const { reject } of this.pending.values()) {
        reject(new Error(this.closedReason));
      }
      this.pending.clear();
    });
  }

  receive(message) {
    const waiting = message && this.pending.get(message.id);
    if (!waiting) {
      return;
    }
    this.pending.delete(message.id);
    if ("error" in message) {
      waiting.reject(new Error(message.error));
    } else {
      waiting.resolve(message.result);
    }
  }

  // Calls a method of the Tulix interface; resolves to its result.
  call(method, params = []) {
    if (this.closedReason !== null) {
      return Promise.reject(new Error(this.closedReason));
    }
    const id = this.nextId++;
    return new Promise((resolve, reject) => {
      this.pending.set(id, { resolve, reject });
      this.port.postMessage({ id, method, params });
    });
  }

  close() {
    this.port.disconnect();
  }
}

// A result's text holds bold, paragraph and highlight mark-up and nothing else may pass:
// `html` becomes DOM nodes under `parent`, those three tags as elements and everything else
// as plain text, so no page's text can inject mark-up or script.
function appendMarkedText(parent, html) {
  const tags = [
    ["<b>", "b", null], ["</b>", "b", "close"],
    ["<p>", "p", null], ["</p>", "p", "close"],
    ['<span class="hilite">', "span", null], ["</span>", "span", "close"],
  ];
  const stack = [parent];
  let text = "";
  const flush = () => {
    if (text !== "") {
      stack[stack.length - 1].appendChild(document.createTextNode(text));
      text = "";
    }
  };
  let i = 0;
  outer: while (i < html.length) {
    if (html[i] === "<") {
      for (const [mark, name, close] of tags) {
        if (!html.startsWith(mark, i)) {
          continue;
        }
        flush();
        if (close) {
          // A closing tag without its opening one is dropped.
          if (stack.length > 1 && stack[stack.length - 1].localName === name) {
            stack.pop();
          }
        } else {
          const element = document.createElement(name);
          if (name === "span") {
            element.className = "hilite";
          }
          stack[stack.length - 1].appendChild(element);
          stack.push(element);
        }
        i += mark.length;
        continue outer;
      }
    }
    text += html[i];
    i += 1;
  }
  flush();
}
