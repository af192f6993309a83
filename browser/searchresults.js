// The results page, searchresults.htm?order=4&search=NAME: it shows search NAME, sorted by
// `order`, and polls its status until it is finished or timed out.
"use strict";

const STATUS_TEXT = {
  0: "No such search",
  1: "Waiting for the engine update",
  2: "Searching",
  3: "Finished",
  4: "Waiting for the engines",
  5: "Timed out",
};
const MAX_SHOWN = 100;
const POLL_MS = 1000;

function show(id, text) {
  document.getElementById(id).textContent = text;
}

function searchToShow() {
  const params = new URLSearchParams(location.search);
  return { name: params.get("search"), order: Number(params.get("order") || 4) };
}

function safeLink(url) {
  return /^https?:\/\//i.test(url) ? url : null;
}

async function readResults(name, order) {
  const total = await Bridge.call("GetSearchTotal", [name]);
  const rows = [];
  for (let i = 0; i < Math.min(total, MAX_SHOWN); i += 1) {
    const [url, text, engines, percent] = await Promise.all([
      Bridge.call("get_result_url", [name, order, i]),
      Bridge.call("get_result_text", [name, order, i]),
      Bridge.call("get_result_engines", [name, order, i]),
      Bridge.call("get_result_percent", [name, order, i]),
    ]);
    rows.push({ url, text, engines, percent });
  }
  return { total, rows };
}

function render({ total, rows }) {
  const list = document.getElementById("results");
  list.replaceChildren();
  for (const row of rows) {
    const item = document.createElement("li");
    const text = document.createElement("div");
    text.className = "text";
    appendMarkedText(text, row.text);
    const link = document.createElement("div");
    link.className = "link";
    const href = safeLink(row.url);
    if (href) {
      const anchor = document.createElement("a");
      anchor.href = href;
      anchor.textContent = row.url;
      link.appendChild(anchor);
    } else {
      link.textContent = row.url;
    }
    const meta = document.createElement("div");
    meta.className = "meta";
    meta.textContent = row.percent + "% \u00b7 " + row.engines;
    item.append(text, link, meta);
    list.appendChild(item);
  }
  if (total > rows.length) {
    show("message", "Showing the first " + rows.length + " of " + total + " results.");
  }
}

async function poll(name, order) {
  const status = await Bridge.call("GetSearchStatus", [name]);
  if (status === 0) {
    show("status", STATUS_TEXT[0] + ": " + name);
    return;
  }
  const [words, running] = await Promise.all([
    Bridge.call("GetSearchText", [name]),
    Bridge.call("GetRunningEngines", [name]),
  ]);
  show("heading", words);
  document.title = words + " - Tulix";
  const results = await readResults(name, order);
  render(results);
  const finished = status === 3 || status === 5;
  show("status", (STATUS_TEXT[status] || "Status " + status) + ", " + results.total + " results");
  show("engines", !finished && running ? "Asking: " + running.split("|").join(", ") : "");
  document.body.dataset.status = String(status);
  if (finished) {
    document.getElementById("again").hidden = false;
    return;
  }
  setTimeout(() => poll(name, order).catch(fail), POLL_MS);
}

// Runs the shown search again with its own settings, under the same name.
async function searchAgain(name, order) {
  document.getElementById("again").hidden = true;
  const [words, category, shopping, perEngine, engines] = await Promise.all([
    Bridge.call("GetSearchText", [name]),
    Bridge.call("GetSearchCategory", [name]),
    Bridge.call("GetSearchShopping", [name]),
    Bridge.call("GetSearchResultsPerEngine", [name]),
    Bridge.call("GetSearchEngineCount", [name]),
  ]);
  await Bridge.call("StartSearch", [words, category, shopping, perEngine, engines]);
  await poll(name, order);
}

function fail(error) {
  show("message", "Tulix is not reachable: " + error.message);
  document.body.dataset.status = "error";
}

async function main() {
  const { name, order } = searchToShow();
  if (!name) {
    show("status", "No search given.");
    return;
  }
  document.getElementById("again").addEventListener("click", () => searchAgain(name, order).catch(fail));
  await poll(name, order);
}

main().catch(fail);
