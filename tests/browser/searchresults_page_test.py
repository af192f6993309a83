#!/usr/bin/python3
"""The extension in a real headless Chromium, talking to the real tulix-bridge and tulixlib.

A fresh program folder and settings store get tulixlib registered (through the bridge) and a
web category whose two engines are served by this script on 127.0.0.1; the host manifest is
installed into a fresh Chromium profile. Chromium, with the extension loaded, opens the popup,
searches from it, and the results page it opens
(searchresults.htm?order=4&search=NAME) must show the search's real titles and links, the
search words highlighted and the engines' own mark-up kept out. The same address opened again
in a fresh page shows the same search. Exits non-zero on the first failure.
"""
import argparse
import http.server
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import urllib.parse

from selenium import webdriver
from selenium.common.exceptions import TimeoutException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

EXTENSION_ID = "menhegembadegfegimjannbobfppgbgd"
CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"


class EngineHandler(http.server.BaseHTTPRequestHandler):
    """Five results for any query, the words of the query in every title; the third result's
    text carries mark-up written as entities, which the page must show as text."""

    def do_GET(self):
        query = urllib.parse.parse_qs(urllib.parse.urlparse(self.path).query).get("q", [""])[0]
        items = []
        for n in range(1, 6):
            # Mark-up that must never reach the results page as mark-up.
            extra = (" &lt;i&gt;not markup&lt;/i&gt; <img src=x onerror=alert(1)>"
                     if n == 3 else "")
            items.append(f"<li><a href=http://r.test/{query}{n}>Blue {query} {n}</a>"
                         f" the great {query} of the sea{extra}</li>")
        body = ("<html><body><ul>" + "".join(items) + "</ul></body></html>").encode()
        self.send_response(200)
        self.send_header("Content-Type", "text/html")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


def check(condition, what):
    if not condition:
        raise AssertionError(what)


def page_results(driver):
    rows = []
    for item in driver.find_elements(By.CSS_SELECTOR, "#results li"):
        link = item.find_element(By.CSS_SELECTOR, ".link a")
        rows.append({
            "title": item.find_element(By.CSS_SELECTOR, ".text b").text,
            "href": link.get_attribute("href"),
            "hilites": [s.text for s in item.find_elements(By.CSS_SELECTOR, "span.hilite")],
            "text": item.find_element(By.CSS_SELECTOR, ".text").text,
            "foreign": item.find_elements(By.CSS_SELECTOR, ".text :not(b):not(p):not(span)"),
        })
    return rows


def wait_for_status(driver, wanted):
    try:
        WebDriverWait(driver, 90).until(
            lambda d: d.find_element(By.TAG_NAME, "body").get_attribute("data-status")
            in (wanted, "error"))
    except TimeoutException:
        raise AssertionError("page never finished: " + driver.find_element(By.TAG_NAME, "body").text)
    body = driver.find_element(By.TAG_NAME, "body")
    check(body.get_attribute("data-status") == wanted, "page failed: " + body.text)


def check_page(driver, words, expected_urls):
    check(driver.find_element(By.ID, "heading").text == words, "heading is not the search's words")
    rows = page_results(driver)
    check(sorted(r["href"] for r in rows) == sorted(expected_urls),
          f"links {[r['href'] for r in rows]} are not {expected_urls}")
    check(sorted(r["title"] for r in rows) == [f"Blue {words} {n}" for n in range(1, 6)],
          f"titles {[r['title'] for r in rows]}")
    for row in rows:
        check(words in row["hilites"], f"search word not highlighted in {row['text']!r}")
        check(not row["foreign"], f"mark-up other than b, p and span came through: {row['text']!r}")
    marked = [r for r in rows if r["href"].endswith("3")]
    check(len(marked) == 1 and "<i>not markup</i>" in marked[0]["text"],
          "mark-up inside a result's text is not shown as text")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bridge", required=True)
    parser.add_argument("--library", required=True)
    parser.add_argument("--extension", required=True)
    args = parser.parse_args()
    for program in (CHROMIUM, CHROMEDRIVER):
        check(os.access(program, os.X_OK), f"{program} is missing: run scripts/install-deps")

    temp = tempfile.mkdtemp(prefix="tulix-browser-test-")
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), EngineHandler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    driver = None
    try:
        home = os.path.join(temp, "program")
        web = os.path.join(home, "categories", "web")
        os.makedirs(web)
        with open(os.path.join(home, "categories", "web.cat"), "w") as f:
            f.write("[main]\nlastupdatecheck=4000000000\n")
        for n in (1, 2):
            with open(os.path.join(web, f"engine{n}.ini"), "w") as f:
                f.write(f"[main]\nname=engine{n}\nhost=127.0.0.1\nport={server.server_port}\n"
                        "object=/search?q=%Q\n[START]\n1=TAG|RESULT|li|STARTRESULT|\n"
                        "[RESULT]\n1=TAG|START|/li|SENDRESULT|\n")
        env = dict(os.environ)
        env.update({"TULIX_HOME": home, "TULIX_REGISTRY": os.path.join(temp, "registry.db"),
                    "HOME": os.path.join(temp, "user"), "XDG_CONFIG_HOME": "",
                    "no_proxy": "*", "NO_PROXY": "*"})
        for name in ("http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY"):
            env.pop(name, None)
        os.makedirs(env["HOME"])
        subprocess.run([args.bridge, "--register-library", args.library, "--program-folder", home],
                       env=env, check=True, stdout=subprocess.DEVNULL)

        profile = os.path.join(temp, "profile")
        subprocess.run([args.bridge, "--install", "chromium", "--user-data-dir", profile],
                       env=env, check=True, stdout=subprocess.DEVNULL)

        # Chromium starts the host with its own environment, so the settings store is passed on
        # through it.
        os.environ.update(env)
        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        for argument in ("--headless=new", "--user-data-dir=" + profile,
                         "--load-extension=" + os.path.abspath(args.extension),
                         "--disable-gpu", "--disable-dev-shm-usage", "--no-first-run",
                         # Containers (and root) give Chromium no sandbox; the pages are the
                         # test's own.
                         "--no-sandbox"):
            options.add_argument(argument)
        driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
        base = f"chrome-extension://{EXTENSION_ID}/"

        # The popup, opened as a page: its categories come from the library.
        driver.get(base + "popup.htm")
        WebDriverWait(driver, 60).until(
            lambda d: d.find_elements(By.CSS_SELECTOR, "#category option")
            or d.find_element(By.ID, "message").text)
        check(driver.find_element(By.ID, "message").text == "",
              "popup: " + driver.find_element(By.ID, "message").text)
        options_shown = [o.text for o in driver.find_elements(By.CSS_SELECTOR, "#category option")]
        check(options_shown == ["web"], f"categories {options_shown}")
        # ChromeDriver does not see tabs that an extension opens in headless mode, so the page
        # the popup opens is caught here and opened in this tab instead.
        driver.execute_script(
            "chrome.tabs.create = (properties) => {"
            " document.body.dataset.opened = properties.url; return Promise.resolve({}); };"
            "window.close = () => {};")
        driver.find_element(By.ID, "words").send_keys("whale")
        driver.find_element(By.CSS_SELECTOR, "#search-form button").click()
        try:
            WebDriverWait(driver, 60).until(
                lambda d: d.find_element(By.TAG_NAME, "body").get_attribute("data-opened"))
        except TimeoutException:
            raise AssertionError("the popup opened no page: " + driver.find_element(By.TAG_NAME, "body").text)
        driver.get(driver.find_element(By.TAG_NAME, "body").get_attribute("data-opened"))

        address = urllib.parse.urlparse(driver.current_url)
        query = urllib.parse.parse_qs(address.query)
        check(address.path == "/searchresults.htm" and query.get("order") == ["4"]
              and query.get("search", [""])[0] != "",
              f"the popup opened {driver.current_url}")
        wait_for_status(driver, "3")
        expected = [f"http://r.test/whale{n}" for n in range(1, 6)]
        check_page(driver, "whale", expected)

        # The address alone brings the same search back in a fresh page.
        driver.get(driver.current_url)
        wait_for_status(driver, "3")
        check_page(driver, "whale", expected)
        print("results page: ok")
        return 0
    finally:
        if driver is not None:
            driver.quit()
        server.shutdown()
        shutil.rmtree(temp, ignore_errors=True)


if __name__ == "__main__":
    try:
        sys.exit(main())
    except AssertionError as error:
        print(f"FAILED: {error}", file=sys.stderr)
        sys.exit(1)
