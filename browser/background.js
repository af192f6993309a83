// The extension's one connection to tulix-bridge. Searches run inside the bridge's process,
// which lives as long as its connection, so the connection belongs here, where it outlives the
// popup that starts a search and the pages that show it; every page sends its calls through
// this worker. The open connection also keeps the worker itself running.
"use strict";

const TULIX_HOST = "org.tulix.bridge";

let port = null;
let nextId = 1;
const pending = new Map();

function connect() {
  if (port !== null) {
    return port;
  }
  port = chrome.runtime.connectNative(TULIX_HOST);
  port.onMessage.addListener((message) => {
    const waiting = message && pending.get(message.id);
    if (!waiting) {
      return;
    }
    pending.delete(message.id);
    waiting(message);
  });
  port.onDisconnect.addListener(() => {
    const error = chrome.runtime.lastError;
    const reason = error && error.message ? error.message : "the Tulix bridge has ended";
    port = null;
    for (const answer of pending.values()) {
      answer({ error: reason });
    }
    pending.clear();
  });
  return port;
}

// Answers {result} or {error}, as the bridge does.
function callBridge(method, params) {
  return new Promise((resolve) => {
    const id = nextId++;
    pending.set(id, resolve);
    try {
      connect().postMessage({ id, method, params });
    } catch (error) {
      pending.delete(id);
      resolve({ error: String(error && error.message ? error.message : error) });
    }
  });
}

chrome.runtime.onMessage.addListener((request, sender, sendResponse) => {
  if (!request || request.type !== "tulix" || sender.id !== chrome.runtime.id) {
    return false;
  }
  callBridge(String(request.method), Array.isArray(request.params) ? request.params : [])
    .then(sendResponse);
  return true;  // the answer comes later
});
