"""The approval console in a real headless Chromium, against the real latchwork-gate."""

from __future__ import annotations

import http.server
import os
import pathlib
import shutil
import threading
import time

import pytest

import latchwork
from console_http import quote, write_approvers

webdriver = pytest.importorskip("selenium.webdriver", reason="selenium is not installed")
from selenium.common.exceptions import (  # noqa: E402
    NoAlertPresentException, StaleElementReferenceException)
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.common.keys import Keys  # noqa: E402
from selenium.webdriver.support.ui import WebDriverWait  # noqa: E402

CHROMIUM = shutil.which("chromium") or "/usr/bin/chromium"
DRIVER = shutil.which("chromedriver") or "/usr/bin/chromedriver"
pytestmark = pytest.mark.skipif(
    not (os.path.exists(CHROMIUM) and os.path.exists(DRIVER)),
    reason="chromium and chromium-driver are not installed (make installs them as root)")

TOKEN = "token-of-ada"
VIEWER_TOKEN = "token-of-eve"
# Where the README's picture is refreshed from: LATCHWORK_CONSOLE_SCREENSHOT=docs/console.png.
SCREENSHOT_TO = os.environ.get("LATCHWORK_CONSOLE_SCREENSHOT")
# A new hold must show within this; the page is pushed each event as it happens.
APPEARS_WITHIN = 1.0


@pytest.fixture(scope="module")
def browser():
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu",
                     "--disable-dev-shm-usage", "--window-size=1280,860"):
        options.add_argument(argument)
    # The browser is not ours to sanitize: the sanitizer run's preloads stay out of it.
    env = {name: value for name, value in os.environ.items()
           if name not in ("LD_PRELOAD", "ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS",
                           "PYTHONMALLOC")}
    service = webdriver.ChromeService(executable_path=DRIVER, env=env)
    driver = webdriver.Chrome(service=service, options=options)
    yield driver
    driver.quit()


@pytest.fixture
def console(gate_process, tmp_path, browser):
    approvers = write_approvers(tmp_path, f"ada:{TOKEN}\neve:{VIEWER_TOKEN}:viewer\n")
    process = gate_process("--console", "127.0.0.1:0", "--approvers", str(approvers))
    open_signed_out(browser, process.console_url)
    return process, latchwork.GateClient(process.address)


def open_signed_out(browser, url):
    """The page at `url`, with no token left from an earlier test."""
    browser.get(url)
    browser.execute_script("sessionStorage.clear()")
    browser.get(url)


def sign_in(browser, token):
    field = browser.find_element(By.CSS_SELECTOR, 'form input[name="token"]')
    field.clear()
    field.send_keys(token)
    field.submit()


def signed_in(browser, token=TOKEN):
    sign_in(browser, token)
    WebDriverWait(browser, 10).until(
        lambda d: d.find_element(By.ID, "status").text == "Live")


def held_element(browser, run_id, effect_key, timeout=APPEARS_WITHIN):
    def find(driver):
        for item in driver.find_elements(By.CSS_SELECTOR, "li[data-run-id]"):
            if (item.get_attribute("data-run-id") == run_id
                    and item.get_attribute("data-effect-key") == effect_key):
                return item
        return False
    # An element the page removes while it is looked at is looked for again.
    return WebDriverWait(browser, timeout, poll_frequency=0.05,
                         ignored_exceptions=(StaleElementReferenceException,)).until(find)


def gone(browser, run_id, effect_key):
    def absent(driver):
        return not any(item.get_attribute("data-run-id") == run_id
                       and item.get_attribute("data-effect-key") == effect_key
                       for item in driver.find_elements(By.CSS_SELECTOR, "li[data-run-id]"))
    WebDriverWait(browser, 10, ignored_exceptions=(StaleElementReferenceException,)).until(absent)


def test_a_wrong_token_is_refused(browser, console):
    sign_in(browser, "not-a-token")
    WebDriverWait(browser, 10).until(
        lambda d: d.find_element(By.ID, "sign-in-error").text == "That token was refused.")
    assert not browser.find_element(By.ID, "console").is_displayed()


def test_approve_in_the_page_reaches_the_worker_once(browser, console):
    process, _ = console
    signed_in(browser)
    verdicts = []
    done = threading.Event()

    def worker():
        # A worker that asks again every 100 ms until its effect is released.
        with process.connect() as raw:
            while not done.is_set():
                verdicts.append(raw.request({"op": "submit", "run_id": "deploy-42",
                                             "effect_key": "send invoice #7",
                                             "needs_approval": True})["verdict"])
                if verdicts[-1] != "held_for_approval":
                    return
                time.sleep(0.1)
    thread = threading.Thread(target=worker, daemon=True)
    thread.start()
    try:
        item = held_element(browser, "deploy-42", "send invoice #7", timeout=5)
        item.find_element(By.CSS_SELECTOR, 'input[name="reason"]').send_keys("checked the amount")
        item.find_element(By.CSS_SELECTOR, '[data-action="approve"]').click()
        thread.join(10)
    finally:
        done.set()
    assert verdicts[-1] == "release" and set(verdicts[:-1]) == {"held_for_approval"}
    gone(browser, "deploy-42", "send invoice #7")
    with process.connect() as raw:
        assert raw.request({"op": "submit", "run_id": "deploy-42", "effect_key": "send invoice #7",
                            "needs_approval": True})["verdict"] == "refused_duplicate"
    WebDriverWait(browser, 10).until(lambda d: "Taken by its worker" in d.find_element(
        By.ID, "activity").text)
    activity = browser.find_element(By.ID, "activity").text
    assert "Approved" in activity and "checked the amount" in activity


def test_an_approved_effect_waits_for_its_worker_in_the_page(browser, console):
    _, client = console
    signed_in(browser)
    client.submit("run", "slow worker", True)
    item = held_element(browser, "run", "slow worker")
    item.find_element(By.CSS_SELECTOR, '[data-action="approve"]').click()
    WebDriverWait(browser, 10).until(
        lambda d: "approved — waiting for its worker" in item.text)
    assert item.find_elements(By.CSS_SELECTOR, "button[data-action]") == []
    # Counted apart from what waits for a person, with no deadline, and what its worker did.
    assert browser.find_element(By.ID, "held-count").text == "0"
    assert browser.find_element(By.ID, "approved-count").text == "1 approved, waiting for their workers"
    WebDriverWait(browser, 10).until(lambda d: "worker last asked" in item.text)
    assert "deadline" not in item.text
    assert client.submit("run", "slow worker", True).kind == "release"
    gone(browser, "run", "slow worker")


def test_ids_that_hold_nul_name_effects_apart(browser, console):
    _, client = console
    signed_in(browser)
    # Joined with a NUL, both pairs would read "pay\0ann\0x".
    pairs = [("pay\0ann", "x"), ("pay", "ann\0x")]
    for run_id, effect_key in pairs:
        client.submit(run_id, effect_key, True)
    items = [held_element(browser, *pair) for pair in pairs]
    assert items[0] != items[1]
    items[1].find_element(By.CSS_SELECTOR, '[data-action="approve"]').click()
    WebDriverWait(browser, 10).until(
        lambda d: "approved — waiting for its worker" in items[1].text)
    assert "approved" not in items[0].text
    assert [client.submit(*pair, True).kind for pair in pairs] == ["held_for_approval", "release"]


def test_keyboard_decides_only_after_a_confirmation(browser, console):
    _, client = console
    signed_in(browser)
    for key in ("first", "second", "third"):
        client.submit("run", key, True)
    held_element(browser, "run", "third")
    body = browser.find_element(By.TAG_NAME, "body")
    body.send_keys("j", "k", "j")  # on "second"
    body.send_keys("r", "r")  # arms twice: decides nothing
    assert client.submit("run", "second", True).kind == "held_for_approval"
    body.send_keys(Keys.ENTER, Keys.ENTER)  # the second Enter finds nothing armed
    gone(browser, "run", "second")
    assert client.submit("run", "second", True).kind == "refused_rejected"
    time.sleep(0.8)
    for key in ("first", "third"):
        assert client.submit("run", key, True).kind == "held_for_approval"
    # Armed, then moved on: the Enter decides neither.
    selected = browser.find_element(By.CSS_SELECTOR, "li.item.selected").get_attribute(
        "data-effect-key")
    body.send_keys("a", "k" if selected == "third" else "j", Keys.ENTER)
    time.sleep(0.3)
    for key in ("first", "third"):
        assert client.submit("run", key, True).kind == "held_for_approval"
    # Pressed twice in a hurry: one approval, the other effect still held.
    body.send_keys("a", Keys.ENTER, "a", Keys.ENTER)
    WebDriverWait(browser, 10).until(lambda d: len(d.find_elements(By.CSS_SELECTOR,
                                                                   "li.item.approved")) == 1)
    time.sleep(0.3)
    assert len(browser.find_elements(By.CSS_SELECTOR, "li.item.approved")) == 1
    assert sorted(client.submit("run", key, True).kind for key in ("first", "third")) == [
        "held_for_approval", "release"]


@pytest.mark.parametrize("token, who, hints", [(TOKEN, "ada · approver", True),
                                               (VIEWER_TOKEN, "eve · viewer, read-only", False)])
def test_the_header_says_who_is_signed_in_and_a_viewer_gets_no_way_to_decide(
        browser, console, token, who, hints):
    _, client = console
    signed_in(browser, token)
    assert browser.find_element(By.ID, "who").text == who
    assert browser.find_element(By.CSS_SELECTOR, ".keys").is_displayed() == hints
    if hints:
        return
    client.submit("run", "watched", True)
    item = held_element(browser, "run", "watched")
    assert item.find_elements(By.CSS_SELECTOR, "button.approve, button.reject") == []
    browser.find_element(By.TAG_NAME, "body").send_keys("a", Keys.ENTER)
    time.sleep(0.3)
    assert client.submit("run", "watched", True).kind == "held_for_approval"


def test_markup_in_a_key_is_shown_as_text(browser, console):
    _, client = console
    signed_in(browser)
    hostile = "<img src=x onerror=alert(1)>"
    client.submit("<b>run</b>", hostile, True)
    item = held_element(browser, "<b>run</b>", hostile)
    assert item.find_element(By.CSS_SELECTOR, ".effect").text == hostile
    assert browser.execute_script("return document.querySelectorAll('img, b').length") == 0
    with pytest.raises(NoAlertPresentException):
        browser.switch_to.alert.text
    item.find_element(By.CSS_SELECTOR, ".run-link").click()
    WebDriverWait(browser, 10).until(
        lambda d: d.find_element(By.ID, "run-title").text == "<b>run</b>")
    assert browser.execute_script("return document.querySelectorAll('img, b').length") == 0


def test_a_detail_is_shown_as_text_at_any_depth(browser, console):
    process, _ = console
    signed_in(browser)
    hostile = "<img src=x onerror=alert(1)>"
    detail = {hostile: hostile, "nested": {hostile: [hostile, 7, None]}, "plain": "text"}
    with process.connect() as raw:
        raw.request({"op": "submit", "run_id": "xss", "effect_key": "k", "needs_approval": True,
                     "detail": detail})
        raw.send(b'{"op":"submit","run_id":"xss","effect_key":"n","needs_approval":true,'
                 b'"detail":{"amount":120.50,"fee":1.999e1}}\n')  # numbers as written
        assert raw.reply()["verdict"] == "held_for_approval"
    numbers = held_element(browser, "xss", "n").find_elements(By.CSS_SELECTOR, ".detail dd")
    assert [number.text for number in numbers] == ["120.50", "1.999e1"]
    item = held_element(browser, "xss", "k")
    names = [n.text for n in item.find_elements(By.CSS_SELECTOR, ".detail dt")]
    values = [v.text for v in item.find_elements(By.CSS_SELECTOR, ".detail dd:not(.nested)")]
    assert sorted(names) == sorted([hostile, "nested", hostile, "[0]", "[1]", "[2]", "plain"])
    assert sorted(values) == sorted([hostile, hostile, "7", "null", "text"])
    inner = item.find_element(By.CSS_SELECTOR, ".detail .detail")
    assert inner.location["x"] > item.find_element(By.CSS_SELECTOR, ".detail").location["x"]
    assert browser.execute_script("return document.querySelectorAll('img').length") == 0
    with pytest.raises(NoAlertPresentException):
        browser.switch_to.alert.text


def test_narrow_window_filter_and_a_link_to_one_effect(browser, console):
    process, client = console
    long_key = "refund order " + "8" * 120
    client.submit("team-a-1", long_key, True)
    client.submit("team-b-1", "other", True)
    with process.connect() as raw:
        raw.request({"op": "submit", "run_id": "team-a-1", "effect_key": "with detail",
                     "needs_approval": True, "detail": {"why": "y" * 300, "n": {"deep": 1}}})
    # A headless window is never narrower than 500 px: the viewport is set instead.
    browser.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", {
        "width": 400, "height": 900, "deviceScaleFactor": 1, "mobile": False})
    try:
        signed_in(browser)
        held_element(browser, "team-a-1", "with detail")
        assert browser.execute_script(
            "return [window.innerWidth, document.scrollingElement.scrollWidth <= innerWidth]"
        ) == [400, True]
        field = browser.find_element(By.CSS_SELECTOR, '#filter-form input[name="run"]')
        field.send_keys("team-b", Keys.ENTER)
        gone(browser, "team-a-1", long_key)
        held_element(browser, "team-b-1", "other")
        field.clear()
        field.send_keys(Keys.ENTER)
        held_element(browser, "team-a-1", long_key, timeout=10)
        browser.execute_script("location.hash = arguments[0]",
                               "#/effect/team-a-1/" + quote("with detail"))
        WebDriverWait(browser, 5).until(lambda d: "linked" in held_element(
            d, "team-a-1", "with detail").get_attribute("class"))
        assert "selected" in held_element(browser, "team-a-1", "with detail").get_attribute(
            "class")
    finally:
        browser.execute_cdp_cmd("Emulation.clearDeviceMetricsOverride", {})


def test_the_audit_log_and_a_runs_history_show_who_decided(browser, console):
    _, client = console
    signed_in(browser)
    hostile = "<img src=x onerror=alert(2)>"
    client.submit("audit-run", hostile, True)
    item = held_element(browser, "audit-run", hostile)
    item.find_element(By.CSS_SELECTOR, 'input[name="reason"]').send_keys("<b>no</b> thanks")
    item.find_element(By.CSS_SELECTOR, '[data-action="reject"]').click()
    gone(browser, "audit-run", hostile)

    def newest(driver):
        rows = driver.find_elements(By.CSS_SELECTOR, "#audit li[data-event]")
        return rows and rows[0].get_attribute("data-event") == "decided" and rows[0]
    row = WebDriverWait(browser, 10, ignored_exceptions=(StaleElementReferenceException,)).until(
        newest)
    text = row.text
    assert "Rejected" in text and hostile in text and "console:ada" in text
    assert "<b>no</b> thanks" in text
    held = browser.find_elements(By.CSS_SELECTOR, '#audit li[data-event="held"]')
    assert held and "line:127.0.0.1:" in held[0].text
    client.submit("audit-run", "other", True)
    held_element(browser, "audit-run", "other").find_element(By.CSS_SELECTOR, ".run-link").click()
    WebDriverWait(browser, 10).until(
        lambda d: len(d.find_elements(By.CSS_SELECTOR, "#run-history li")) == 3)
    events = [r.get_attribute("data-event")
              for r in browser.find_elements(By.CSS_SELECTOR, "#run-history li")]
    assert events == ["held", "decided", "held"]
    assert browser.execute_script("return document.querySelectorAll('img, b').length") == 0


def test_screenshot_for_the_readme(browser, console, tmp_path):
    _, client = console
    signed_in(browser)
    for run_id, key in [("nightly-report-0412", "email finance@acme.example: Q3 summary"),
                        ("deploy-web-1187", "kubectl rollout production/web v2.14.0"),
                        ("refund-bot-77", "refund order 88213 ($249.00)"),
                        ("refund-bot-77", "refund order 88219 ($1,120.00)")]:
        client.submit(run_id, key, True)
    client.submit("cleanup-31", "drop table tmp_sessions", True)
    held_element(browser, "cleanup-31", "drop table tmp_sessions")
    item = held_element(browser, "deploy-web-1187", "kubectl rollout production/web v2.14.0")
    item.find_element(By.CSS_SELECTOR, 'input[name="reason"]').send_keys("change window is open")
    item.find_element(By.CSS_SELECTOR, '[data-action="approve"]').click()
    WebDriverWait(browser, 10).until(lambda d: "waiting for its worker" in item.text)
    item = held_element(browser, "cleanup-31", "drop table tmp_sessions")
    item.find_element(By.CSS_SELECTOR, 'input[name="reason"]').send_keys("still in use by billing")
    item.find_element(By.CSS_SELECTOR, '[data-action="reject"]').click()
    gone(browser, "cleanup-31", "drop table tmp_sessions")
    held_element(browser, "refund-bot-77", "refund order 88213 ($249.00)").find_element(
        By.CSS_SELECTOR, ".run-link").click()
    WebDriverWait(browser, 10).until(
        lambda d: d.find_element(By.ID, "run-title").text == "refund-bot-77")
    shot = pathlib.Path(SCREENSHOT_TO) if SCREENSHOT_TO else tmp_path / "console.png"
    shot.parent.mkdir(parents=True, exist_ok=True)
    assert browser.save_screenshot(str(shot))
    assert shot.stat().st_size > 10_000


@pytest.mark.postgres
def test_one_servers_page_follows_what_another_server_holds_and_decides(
        browser, gate_process, tmp_path, new_postgres_store):
    url = new_postgres_store()
    approvers = write_approvers(tmp_path, f"ada:{TOKEN}\neve:{VIEWER_TOKEN}:viewer\n")
    watched = gate_process("--console", "127.0.0.1:0", "--approvers", str(approvers),
                           "--store", url)
    other = latchwork.GateClient(gate_process("--store", url).address)
    open_signed_out(browser, watched.console_url)
    signed_in(browser)
    # Held through the other server: no event reaches this page, the store does.
    assert other.submit("shared-run", "held elsewhere", True).kind == "held_for_approval"
    held_element(browser, "shared-run", "held elsewhere", timeout=10)
    assert other.decide("shared-run", "held elsewhere", True).kind == "release"
    gone(browser, "shared-run", "held elsewhere")


# A page on another local origin posts what a form or fetch() may send anywhere without
# asking: text/plain, here holding request lines.
ATTACK_PAGE = """<!doctype html><title>waiting</title><script>
const lines = '{"op":"close_run","run_id":"victim"}\\n' +
  '{"approved":true,"effect_key":"held","op":"decide","run_id":"victim"}\\n';
const post = (url, body) => fetch(url, {method: "POST", mode: "no-cors", body,
  headers: {"Content-Type": "text/plain"}});
Promise.allSettled([post("http://127.0.0.1:LINE/", lines),
                    post("http://127.0.0.1:CONSOLE/api/runs/other/cancel", "{}")])
  .then(() => { document.title = "sent"; });
</script>"""


def serve_page(text: str):
    class Page(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            body = text.encode()
            self.send_response(200)
            self.send_header("Content-Type", "text/html")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *arguments):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Page)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def test_a_page_elsewhere_can_drive_neither_the_line_port_nor_the_open_console(
        browser, gate_process):
    process = gate_process("--console", "127.0.0.1:0")  # no secret, no tokens
    client = latchwork.GateClient(process.address)
    for run_id in ("victim", "other"):
        assert client.submit(run_id, "held", True).kind == "held_for_approval"
    page = serve_page(ATTACK_PAGE.replace("LINE", str(process.port))
                      .replace("CONSOLE", str(process.console_port)))
    try:
        browser.get(f"http://localhost:{page.server_address[1]}/")
        WebDriverWait(browser, 10).until(lambda d: d.title == "sent")
    finally:
        page.shutdown()
        page.server_close()
    with process.connect() as raw:
        assert raw.request({"op": "is_closed", "run_id": "victim"})["value"] is False
        assert raw.request({"op": "is_cancelled", "run_id": "other"})["value"] is False
        assert raw.request({"op": "pending_count"})["value"] == 2


@pytest.mark.parametrize("stop", ["cancel", "close"])
def test_an_approver_stops_a_run_from_its_panel_after_confirming(browser, console, stop):
    _, client = console
    signed_in(browser)
    client.submit("to-stop", "e", True)
    held_element(browser, "to-stop", "e").find_element(By.CSS_SELECTOR, ".run-link").click()
    button = WebDriverWait(browser, 10).until(
        lambda d: d.find_element(By.CSS_SELECTOR, f'#run-actions [data-stop="{stop}"]'))
    button.click()  # asks again, stops nothing
    assert button.text.startswith("Click again")
    assert client.submit("to-stop", "e", True).kind == "held_for_approval"
    button.click()
    WebDriverWait(browser, 10).until(
        lambda d: not d.find_element(By.ID, "run-actions").is_displayed())
    gone(browser, "to-stop", "e")
    assert client.submit("to-stop", "new", False).kind == "refused_cancelled"  # a stopped run's answer


def test_a_quorum_shows_its_approvals_and_only_its_approvers_get_buttons(gate_process, tmp_path, browser):
    rules = tmp_path / "rules.toml"
    rules.write_text('[[rule]]\nname = "payments"\neffect = "pay:*"\naction = "hold"\n'
                     'approvers = ["ada", "bob"]\nquorum = 2\n\n'
                     '[[rule]]\nname = "wires"\neffect = "wire:*"\naction = "hold"\napprovers = ["bob"]\n')
    rules.chmod(0o644)
    approvers = write_approvers(tmp_path, f"ada:{TOKEN}\nbob:token-of-bob\n")
    process = gate_process("--console", "127.0.0.1:0", "--approvers", str(approvers), "--rules", str(rules))
    client = latchwork.GateClient(process.address)
    open_signed_out(browser, process.console_url)
    signed_in(browser)
    client.submit("run", "pay:1", False)
    client.submit("run", "wire:1", False)
    item = held_element(browser, "run", "pay:1", timeout=5)
    item.find_element(By.CSS_SELECTOR, '[data-action="approve"]').click()
    WebDriverWait(browser, 10).until(lambda d: "1 of 2 approvals: ada" in item.text)
    assert client.submit("run", "pay:1", False).kind == "held_for_approval"
    wire = held_element(browser, "run", "wire:1", timeout=5)
    assert wire.find_elements(By.CSS_SELECTOR, "button.approve, button.reject") == []
def test_an_approval_in_the_page_remembers_a_grant_that_a_revoke_ends(browser, gate_process, tmp_path):
    rules = tmp_path / "rules.toml"
    rules.write_text('[[rule]]\nname = "payments"\neffect = "pay:*"\naction = "hold"\ngrantable = true\n')
    approvers = write_approvers(tmp_path, f"ada:{TOKEN}\n")
    process = gate_process("--rules", str(rules), "--console", "127.0.0.1:0", "--approvers", str(approvers))
    open_signed_out(browser, process.console_url)
    signed_in(browser)

    def submit(run_id, key, amount):
        with process.connect() as raw:
            return raw.request({"op": "submit", "run_id": run_id, "effect_key": key,
                                "detail": {"amount": amount, "to": "bob"}})["verdict"]
    assert submit("r", "pay:1", 7) == "held_for_approval"
    item = held_element(browser, "r", "pay:1", timeout=5)
    choice = item.find_element(By.CSS_SELECTOR, 'select[name="remember"]')
    assert choice.get_attribute("value") == ""  # this effect only, unless chosen
    choice.find_element(By.CSS_SELECTOR, 'option[value="8h"]').click()
    assert item.find_element(By.CSS_SELECTOR, 'input[name="grant-effect"]').get_attribute("value") == "pay:*"
    assert item.find_element(By.CSS_SELECTOR, ".grant-bounds").text == "amount ≤ 7"
    item.find_element(By.CSS_SELECTOR, '[data-action="approve"]').click()
    WebDriverWait(browser, 10).until(lambda d: "/amount le 7" in d.find_element(By.ID, "grants").text)
    assert submit("s", "pay:2", 5) == "release"
    assert submit("s", "pay:3", 8) == "held_for_approval"
    browser.find_element(By.CSS_SELECTOR, '#grants [data-action="revoke"]').click()
    WebDriverWait(browser, 10).until(lambda d: d.find_element(By.ID, "grants-empty").is_displayed())
    assert submit("s", "pay:4", 5) == "held_for_approval"


def test_an_approver_changes_only_the_editable_members_and_the_worker_gets_them(browser, console):
    process, _ = console
    signed_in(browser)
    with process.connect() as raw:
        assert raw.request({"op": "submit", "run_id": "pay", "effect_key": "invoice", "needs_approval": True,
                            "detail": {"amount": 100, "to": "acme"}, "editable": ["/amount"]},
                           )["verdict"] == "held_for_approval"
        item = held_element(browser, "pay", "invoice")
        inputs = item.find_elements(By.CSS_SELECTOR, 'input[name="edit"]')
        assert [i.get_attribute("data-pointer") for i in inputs] == ["/amount"]
        inputs[0].clear()
        inputs[0].send_keys("90")
        item.find_element(By.CSS_SELECTOR, '[data-action="approve"]').click()
        WebDriverWait(browser, 10).until(lambda d: "approved" in item.text)
        assert raw.request({"op": "submit", "run_id": "pay", "effect_key": "invoice", "attempt": "a",
                            "detail": {"amount": 100, "to": "acme"}}) == {
            "detail": {"amount": 90, "to": "acme"}, "verdict": "release"}
