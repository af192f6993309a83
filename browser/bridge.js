// How the extension's pages call Tulix: each call goes to the background worker, which holds
// the one connection to tulix-bridge, and comes back as the method's result.
"use strict";

const Bridge = {
  call(method, params = []) {
    return new Promise((resolve, reject) => {
      chrome.runtime.sendMessage({ type: "tulix", method, params }, (answer) => {
        if (chrome.runtime.lastError) {
          reject(new Error(chrome.runtime.lastError.message));
        } else if (!answer) {
          reject(new Error("no answer from the extension's worker"));
        } else if ("error" in answer) {
          reject(new Error(answer.error));
        } else {
          resolve(answer.result);
        }
      });
    });
  },
};

const HILITE_OPEN = '<span class="hilite">';
const HILITE_CLOSE = "</span>";

// Character references a result's text may carry; others are left as written.
const NAMED_ENTITIES = { amp: "&", lt: "<", gt: ">", quot: '"', apos: "'", nbsp: "\u00a0" };

function decodeEntities(text) {
  return text.replace(/&(#x[0-9a-fA-F]{1,6}|#[0-9]{1,7}|[a-zA-Z]{2,8});/g, (whole, name) => {
    if (name[0] === "#") {
      const code = name[1] === "x" || name[1] === "X" ? parseInt(name.slice(2), 16) : parseInt(name.slice(1), 10);
      return code > 0 && code <= 0x10ffff && (code < 0xd800 || code > 0xdfff) ? String.fromCodePoint(code) : whole;
    }
    return Object.prototype.hasOwnProperty.call(NAMED_ENTITIES, name) ? NAMED_ENTITIES[name] : whole;
  });
}

// A result's text is a piece of the engine's page with the library's bold, paragraph and
// highlight mark-up around its parts. Only those three become elements under `parent`; any
// other tag is left out, and everything else (character references decoded) becomes plain
// text, so nothing in an engine's page can add mark-up or script to ours.
function appendMarkedText(parent, html) {
  const allowed = [
    ["<b>", "b", false], ["</b>", "b", true],
    ["<p>", "p", false], ["</p>", "p", true],
    [HILITE_OPEN, "span", false], [HILITE_CLOSE, "span", true],
  ];
  const stack = [parent];
  let text = "";
  const flush = () => {
    if (text !== "") {
      stack[stack.length - 1].appendChild(document.createTextNode(decodeEntities(text)));
      text = "";
    }
  };
  let i = 0;
  outer: while (i < html.length) {
    if (html[i] === "<") {
      for (const [mark, name, closing] of allowed) {
        if (!html.startsWith(mark, i)) {
          continue;
        }
        flush();
        if (closing) {
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
      // Any other tag (or comment) is dropped whole; a "<" that starts none is text. The
      // library highlights search words inside the engine's tags too (an address holding a
      // search word), so its own marks within such a tag go with it.
      if (/^<[a-zA-Z/!?]/.test(html.slice(i, i + 2))) {
        let end = i + 1;
        while (end < html.length && html[end] !== ">") {
          if (html.startsWith(HILITE_OPEN, end)) {
            end += HILITE_OPEN.length;
          } else if (html.startsWith(HILITE_CLOSE, end)) {
            end += HILITE_CLOSE.length;
          } else {
            end += 1;
          }
        }
        flush();
        i = end + 1;
        continue;
      }
    }
    text += html[i];
    i += 1;
  }
  flush();
}
