#!/usr/bin/python3
"""The krvctl console in headless Chromium, driven through Selenium as an engineer would use it:
the live table, sorting and filtering, the detail view, a bad value refused in the form, an
assignment through the form, and a request from a foreign site. Run inside the network namespace
of the console (started by Console_test.cpp, which checks the controllers' command records).

Exit status: 0 passed, 1 failed (the reason on standard output), 77 Chromium cannot start here.
"""

import argparse
import http.server
import json
import os
import re
import shutil
import statistics
import sys
import tempfile
import threading
import time
import urllib.error
import urllib.request

from selenium import webdriver
from selenium.common.exceptions import TimeoutException, WebDriverException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import WebDriverWait

CANNOT_START = 77
FOREIGN_PORT = 7281
BAD_VALUE = "192.0.2.300"
GOOD_VALUE = "192.0.2.77"
FOREIGN_VALUE = "192.0.2.66"
OTHER_TAB_VALUE = "192.0.2.78"
SYSLOG_VALUE = "192.0.2.79"
# Without the background-networking flags Chromium dials out at start, which a closed network
# refuses; a fresh profile keeps runs apart.
CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                  "--disable-background-networking", "--disable-component-update", "--disable-sync",
                  "--window-size=1600,900"]


class Failure(Exception):
    pass


def expect(condition, message):
    if not condition:
        raise Failure(message)


def start_browser(profile):
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in CHROMIUM_FLAGS + ["--user-data-dir=" + profile]:
        options.add_argument(flag)
    # The network events show the status of a response that the page itself may not read.
    options.set_capability("goog:loggingPrefs", {"performance": "ALL", "browser": "ALL"})
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


def request(url, method="GET", body=None, headers=None):
    """(status, JSON) of one request to the console, outside the browser."""
    data = None if body is None else json.dumps(body).encode()
    call = urllib.request.Request(url, data=data, method=method, headers=headers or {})
    try:
        with urllib.request.urlopen(call, timeout=30) as response:
            return response.status, json.loads(response.read() or b"{}")
    except urllib.error.HTTPError as error:
        return error.code, json.loads(error.read() or b"{}")


def wait(driver, seconds, condition, what):
    try:
        return WebDriverWait(driver, seconds, poll_frequency=0.2).until(lambda d: condition())
    except TimeoutException:
        raise Failure(f"waited {seconds} s for {what}") from None


# The page redraws the table as discoveries come in, so what is read is read in one go.
def texts(driver, selector):
    return driver.execute_script(
        "return [...document.querySelectorAll(arguments[0])].map((e) => e.innerText)", selector)


def rows(driver):
    return texts(driver, "#rows tr")


def column(driver, name):
    return texts(driver, f'#rows td[data-column="{name}"]')


def row_of(driver, mac):
    """The row's cells by column and its classes, or None."""
    return driver.execute_script("""
        const row = document.querySelector(`#rows tr[data-key="${arguments[0]}"]`);
        if (!row) return null;
        const cells = {};
        for (const cell of row.cells) cells[cell.dataset.column] = [cell.innerText, cell.className];
        return {cells, classes: row.className};""", mac)


def click_row(driver, mac):
    driver.execute_script('document.querySelector(`#rows tr[data-key="${arguments[0]}"]`).click()', mac)


def erase(field):
    """As a person does it, so the page hears every keystroke (clear() fires no input event)."""
    field.send_keys(Keys.BACKSPACE * len(field.get_attribute("value")))


def log_text(driver):
    return driver.find_element(By.ID, "events").text


def check_table(driver, args, macs):
    start = time.monotonic()
    driver.get(args.url)
    wait(driver, 90, lambda: len(rows(driver)) == len(macs), f"{len(macs)} rows in the table")
    listed = time.monotonic() - start
    expect(sorted(column(driver, "mac")) == sorted(macs), f"the table lists {column(driver, 'mac')}")
    expect(all(offset[:1] in "+-" and offset for offset in column(driver, "clock")),
           f"clock offsets {column(driver, 'clock')}")
    # Its clock is read and answered whole seconds at a time, a second or two late under load.
    expect(any(re.fullmatch(r"-1m1[4-7]s", offset) for offset in column(driver, "clock")),
           f"the controller 75 s behind shows about -1m15s: {column(driver, 'clock')}")

    # Sorted by address first; a click on a heading turns the order, a click on another sorts by it.
    addresses = column(driver, "ip")
    driver.find_element(By.CSS_SELECTOR, '#headings th[data-column="ip"]').click()
    expect(column(driver, "ip") == list(reversed(addresses)), f"IP descending: {column(driver, 'ip')}")
    driver.find_element(By.CSS_SELECTOR, '#headings th[data-column="hostname"]').click()
    names = column(driver, "hostname")
    expect(names == sorted(names), f"host names ascending: {names}")

    host_filter = driver.find_element(By.CSS_SELECTOR, '#filters input[data-column="hostname"]')
    host_filter.send_keys(args.target_host)
    expect(column(driver, "mac") == [args.target], f"filtered to {column(driver, 'mac')}")
    erase(host_filter)
    sd_filter = driver.find_element(By.CSS_SELECTOR, '#filters input[data-column="sdusage"]')
    sd_filter.send_keys("81")
    expect(column(driver, "mac") == [args.target], f"filtered by SD usage to {column(driver, 'mac')}")
    erase(sd_filter)
    expect(len(rows(driver)) == len(macs), "every row back without a filter")
    return listed


def check_detail(driver, args):
    click_row(driver, args.target)
    wait(driver, 10, lambda: driver.find_element(By.ID, "detail").is_displayed(), "the detail view")
    status, entry = request(f"{args.url}/api/controllers/{args.target}")
    expect(status == 200, f"GET the controller: {status} {entry}")
    cells = texts(driver, "#fields td")
    shown = dict(zip(cells[0::2], cells[1::2]))
    expect(list(shown) == list(entry["status"]), f"every STATUS field: {list(shown)}")
    for key in ("mac", "ip", "sdusage", "sdkversion", "from"):
        expect(shown[key] == entry["status"][key], f"{key}: {shown[key]} != {entry['status'][key]}")


def check_refused_value(driver):
    ntp = driver.find_element(By.CSS_SELECTOR, '#assign-fields input[name="ntpip"]')
    ntp.send_keys(BAD_VALUE)
    problem = driver.find_element(By.CSS_SELECTOR, '#assign-fields p[data-for="ntpip"]')
    wait(driver, 10, lambda: "above 255" in problem.text, "the form to name the bad value")
    expect(ntp.get_attribute("aria-invalid") == "true", "the field marked invalid")
    expect(not driver.find_element(By.ID, "assign").is_enabled(), "no send button for a bad value")
    ntp.send_keys(Keys.ENTER)
    time.sleep(1.5)
    expect("ASSIGN" not in log_text(driver), "nothing sent for a bad value: " + log_text(driver))
    expect(driver.find_element(By.ID, "assign-result").text == "", "no result for a bad value")
    return ntp


def check_assignment(driver, args, ntp):
    erase(ntp)
    ntp.send_keys(GOOD_VALUE)
    button = driver.find_element(By.ID, "assign")
    wait(driver, 10, button.is_enabled, "the send button once the value is good")
    problem = driver.find_element(By.CSS_SELECTOR, '#assign-fields p[data-for="ntpip"]')
    expect(problem.text == "", f"no problem left: {problem.text}")
    start = time.monotonic()
    button.click()
    result = driver.find_element(By.ID, "assign-result")
    # The assignment holds the LAN for the controller's pause; the console answers meanwhile.
    wait(driver, 10, lambda: "Sending" in result.text, "the assignment under way")
    asked = time.monotonic()
    status, table = request(f"{args.url}/api/controllers")
    answered = (time.monotonic() - asked) * 1000
    expect(status == 200 and len(table["controllers"]) == len(args.macs.split(",")), f"{status} {table}")
    expect("exit status" not in result.text, "the table only came after the assignment")
    wait(driver, 60, lambda: "exit status" in result.text, "the assignment's result")
    took = time.monotonic() - start
    expect("ACK: accepted" in result.text, "the ACK shown: " + result.text)
    check = result.find_element(By.CSS_SELECTOR, 'tr[data-setting="ntpip"]').text
    expect(check.split()[:2] == ["ntpip", "ok"] and f"now {GOOD_VALUE}" in check, "ntpip verified: " + check)
    expect("exit status 0" in result.text, result.text)

    wait(driver, 20, lambda: row_of(driver, args.target)["cells"]["ntpip"][0] == GOOD_VALUE,
         "the new value in the table")
    row = row_of(driver, args.target)
    expect("changed" in row["classes"], "the row marked changed: " + row["classes"])
    expect("changed" in row["cells"]["ntpip"][1], "the changed cell marked")
    wait(driver, 10, lambda: "mac=" + args.target in log_text(driver) and "← received" in log_text(driver),
         "the exchange in the event log")
    sent = [line for line in log_text(driver).splitlines() if "→ sent" in line and "#ASSIGN#" in line]
    expect(len(sent) == 1 and "ntpip=" + GOOD_VALUE in sent[0], f"one ASSIGN sent: {sent}")
    expect(any("#ACK#" in line and "accept=yes" in line for line in log_text(driver).splitlines()),
           "the ACK in the event log")
    return took, answered


def check_stale_values(driver, args):
    """Another tab changes the controller while the engineer fills the form: the page says what
    changed and sends nothing until the engineer has looked."""
    syslog = driver.find_element(By.CSS_SELECTOR, '#assign-fields input[name="syslogip"]')
    syslog.send_keys(SYSLOG_VALUE)
    button = driver.find_element(By.ID, "assign")
    wait(driver, 10, button.is_enabled, "the send button for the syslog server")
    token = request(f"{args.url}/api/session")[1]["token"]
    status, answer = request(f"{args.url}/api/controllers/{args.target}/assign", "POST",
                             {"ntpip": OTHER_TAB_VALUE},
                             {"X-Krvctl-Token": token, "Content-Type": "application/json"})
    expect(status == 200, f"the other tab's assignment: {status} {answer}")
    # Sent at once, or noticed by the page before: either way the page stops and says so.
    button.click()
    stale = driver.find_element(By.ID, "stale")
    change = f"ntpip: {GOOD_VALUE} → {OTHER_TAB_VALUE}"
    wait(driver, 20, lambda: stale.is_displayed() and change in stale.text, "the stale values named")
    driver.save_screenshot(args.screenshot.replace(".png", "-stale.png"))
    expect(not button.is_enabled(), "no sending on stale values")
    expect("syslogip=" + SYSLOG_VALUE not in log_text(driver), "nothing sent on stale values")
    driver.find_element(By.ID, "stale-accept").click()
    wait(driver, 10, lambda: not stale.is_displayed() and button.is_enabled(), "the form back after a look")
    button.click()
    result = driver.find_element(By.ID, "assign-result")
    wait(driver, 60, lambda: "exit status 0" in result.text, "the assignment on current values")
    expect("syslogip=" + SYSLOG_VALUE in log_text(driver), "sent once looked at")


class ForeignSite(http.server.BaseHTTPRequestHandler):
    """Another site the engineer happens to have open: its page posts to the console."""
    page = b""

    def do_GET(self):
        self.send_response(200)
        self.send_header("Content-Type", "text/html")
        self.end_headers()
        self.wfile.write(self.page)

    def log_message(self, *args):
        pass


def check_foreign_site(driver, args):
    target = f"{args.url}/api/controllers/{args.target}/assign"
    ForeignSite.page = f"""<!doctype html><title>loading</title><script>
fetch("{target}", {{method: "POST", mode: "no-cors", headers: {{"Content-Type": "text/plain"}},
                     body: JSON.stringify({{ntpip: "{FOREIGN_VALUE}"}})}})
  .finally(() => {{ document.title = "posted"; }});
</script>""".encode()
    server = http.server.ThreadingHTTPServer(("127.0.0.1", FOREIGN_PORT), ForeignSite)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    try:
        driver.get_log("performance")  # only what follows counts
        driver.get(f"http://127.0.0.1:{FOREIGN_PORT}/")
        wait(driver, 20, lambda: driver.title == "posted", "the foreign page's request")
        statuses = []
        for entry in driver.get_log("performance"):
            message = json.loads(entry["message"])["message"]
            if message["method"] == "Network.responseReceived" and message["params"]["response"]["url"] == target:
                statuses.append(message["params"]["response"]["status"])
        expect(statuses == [403], f"the browser got {statuses} for the foreign page's POST")
    finally:
        server.shutdown()
        server.server_close()

    # Not even the token helps a foreign page, and a rebound name is no way in either.
    token = request(f"{args.url}/api/session")[1]["token"]
    for headers in ({"Origin": f"http://127.0.0.1:{FOREIGN_PORT}"},
                    {"Host": "console.attacker.example:7280"}):
        status, answer = request(target, "POST", {"ntpip": FOREIGN_VALUE},
                                 {"X-Krvctl-Token": token, "Content-Type": "application/json", **headers})
        expect(status == 403 and answer["error"].startswith("refused"), f"{headers}: {status} {answer}")

    driver.get(args.url)
    wait(driver, 20, lambda: f"Origin 'http://127.0.0.1:{FOREIGN_PORT}'" in log_text(driver),
         "the refusal in the event log")
    expect(FOREIGN_VALUE not in log_text(driver), "the foreign value never sent")


FLEET_SYSLOG = "192.0.2.88"


def open_plan(driver, folder, name, text):
    path = os.path.join(folder, name)
    with open(path, "w", encoding="utf-8", newline="") as file:
        file.write(text)
    before = driver.find_element(By.ID, "plan-text").text
    driver.find_element(By.ID, "plan-file").send_keys(path)
    shown = lambda: driver.find_element(By.ID, "plan-text").text
    wait(driver, 60, lambda: "controllers planned" in shown() and shown() != before,
         f"the plan of {name}")
    return driver.find_element(By.ID, "plan-text").text


def check_fleet(driver, args, macs):
    """A plan file opened in the console, refused while it has a problem, then applied."""
    driver.find_element(By.ID, "fleet-open").click()
    folder = tempfile.mkdtemp(prefix="krvctl-plan-")
    try:
        rows = "".join(f"{mac};{FLEET_SYSLOG};house {i}\r\n" for i, mac in enumerate(macs))
        bad = open_plan(driver, folder, "bad.csv",
                        "mac;syslogip;house\r\n" + rows + "02:00:00:4B:30:01;1921680088;again\r\n")
        expect("bad.csv:" in bad and "thousands separators" in bad, f"the problem shown: {bad}")
        expect(driver.find_element(By.ID, "apply").get_attribute("disabled") is not None,
               "nothing can be applied while the plan has problems")
        plan = open_plan(driver, folder, "site.csv", "mac;syslogip;house\r\n" + rows)
        expect(f"{len(macs)} to change" in plan, f"every controller to change: {plan}")
        expect(f"→  {FLEET_SYSLOG}" in plan, f"now → wanted shown: {plan}")
        driver.save_screenshot(args.screenshot.replace(".png", "-plan.png"))
        start = time.monotonic()
        driver.find_element(By.ID, "apply").click()
        wait(driver, 120, lambda: "RESULT" in driver.find_element(By.ID, "apply-report").text,
             "the apply's report")
        report = driver.find_element(By.ID, "apply-report").text
        done = [line for line in report.splitlines()[1:] if " ok " in f" {line} " or "verified late" in line]
        expect(len(done) == len(macs), f"every controller changed and verified: {report}")
        expect(driver.find_element(By.ID, "report-link").is_displayed(), "the report to download")
        with urllib.request.urlopen(f"{args.url}/api/plan/report.csv", timeout=10) as response:
            csv = response.read().decode()
        expect(csv.startswith("line;mac;house;result;syslogip"), f"the report in the plan's separator: {csv}")
        return time.monotonic() - start
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def figures(args):
    size = 0
    for path in ("/", "/console.css", "/console.js"):
        with urllib.request.urlopen(args.url + path, timeout=10) as response:
            size += len(response.read())
    latencies = []
    for _ in range(20):
        start = time.monotonic()
        request(f"{args.url}/api/controllers")
        latencies.append((time.monotonic() - start) * 1000)
    return size, statistics.median(latencies), max(latencies)


def run(driver, args):
    macs = args.macs.split(",")
    listed = check_table(driver, args, macs)
    check_detail(driver, args)
    ntp = check_refused_value(driver)
    took, answered = check_assignment(driver, args, ntp)
    driver.save_screenshot(args.screenshot)
    # No script error and nothing the page's content policy had to block.
    errors = [entry["message"] for entry in driver.get_log("browser") if entry["level"] == "SEVERE"]
    expect(not errors, f"the console's page logged errors: {errors}")
    # Chromium logs the 412 this may bring as an error: after the check above.
    check_stale_values(driver, args)
    check_foreign_site(driver, args)
    applied = check_fleet(driver, args, macs)
    size, median, slowest = figures(args)
    print(f"[ console  ] page {size} bytes; all "
          f"{len(macs)} controllers listed {listed:.1f} s after opening; assignment with its "
          f"pause and check {took:.1f} s, the table answered during it in {answered:.1f} ms; GET /api/controllers median {median:.1f} ms, "
          f"slowest {slowest:.1f} ms of 20; a plan of {len(macs)} applied from the page in "
          f"{applied:.1f} s; screenshot {args.screenshot}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--url", required=True)
    parser.add_argument("--macs", required=True, help="every controller on the LAN, comma-separated")
    parser.add_argument("--target", required=True, help="the controller to assign to")
    parser.add_argument("--target-host", required=True, help="its host name")
    parser.add_argument("--screenshot", required=True)
    args = parser.parse_args()

    profile = tempfile.mkdtemp(prefix="krvctl-chromium-")
    try:
        try:
            driver = start_browser(profile)
        except WebDriverException as error:
            print(f"Chromium cannot start here: {error.msg}", file=sys.stderr)
            return CANNOT_START
        try:
            run(driver, args)
        except Failure as failure:
            print(f"FAILED: {failure}")
            driver.save_screenshot(args.screenshot.replace(".png", "-failed.png"))
            return 1
        finally:
            driver.quit()
    finally:
        shutil.rmtree(profile, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
