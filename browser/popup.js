// The toolbar popup: search words and a category. The search itself is started by the results
// page, over its own connection to the bridge: a search runs inside the bridge's process, which
// lives as long as the connection of the page that shows it, and the popup closes as soon as
// the page opens.
"use strict";

async function fillCategories() {
  const bridge = new Bridge();
  const select = document.getElementById("category");
  try {
    const names = await bridge.call("GetCategories");
    for (const name of names.split("|").filter((n) => n !== "")) {
      const option = document.createElement("option");
      option.value = name;
      option.textContent = name;
      select.appendChild(option);
    }
  } catch (error) {
    document.getElementById("message").textContent = "Tulix is not reachable: " + error.message;
  } finally {
    bridge.close();
  }
}

document.getElementById("search-form").addEventListener("submit", (event) => {
  event.preventDefault();
  const words = document.getElementById("words").value.trim();
  if (words === "") {
    return;
  }
  const query = new URLSearchParams({ start: words, category: document.getElementById("category").value });
  chrome.tabs.create({ url: chrome.runtime.getURL("searchresults.htm?" + query.toString()) });
  window.close();
});

fillCategories();
