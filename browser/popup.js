// The toolbar popup: search words and a category. It starts the search and opens the results
// page on the address the library gives back; the search keeps running in the bridge after
// the popup closes.
"use strict";

function showError(error) {
  document.getElementById("message").textContent = "Tulix is not reachable: " + error.message;
}

async function fillCategories() {
  const select = document.getElementById("category");
  const names = await Bridge.call("GetCategories");
  for (const name of names.split("|").filter((n) => n !== "")) {
    const option = document.createElement("option");
    option.value = name;
    option.textContent = name;
    select.appendChild(option);
  }
}

async function startSearch() {
  const words = document.getElementById("words").value.trim();
  if (words === "") {
    return;
  }
  const category = document.getElementById("category").value;
  const address = await Bridge.call("StartSearch", [words, category, -1, -1, -1]);
  // "file:<program folder>/searchresults.htm?order=4&search=NAME": the extension shows the
  // search on its own copy of the page, with the same query.
  const query = address.includes("?") ? address.slice(address.indexOf("?")) : "";
  await chrome.tabs.create({ url: chrome.runtime.getURL("searchresults.htm" + query) });
  window.close();
}

document.getElementById("search-form").addEventListener("submit", (event) => {
  event.preventDefault();
  startSearch().catch(showError);
});

fillCategories().catch(showError);
