"""kq2741-panel in Debian's Chromium, driven by Playwright the way a person uses the page:
controls found by their role and accessible name, values typed and read back."""
from __future__ import annotations

import http.server
import os
import re
import threading

import pytest

from panel import CHROMIUM, Panel
from simulator import Simulator
from test_panel import core_verdict, steps

pytestmark = pytest.mark.needs("kq2741-panel", "kq2741-sim")

WAIT = 5000  # ms: bounds every wait for the page


@pytest.fixture(scope="module")
def browser():
    from playwright.sync_api import sync_playwright

    # The browser and Playwright's driver get no sanitizer runtime preloaded
    # (tools/check-asan.sh sets one for the Python under test).
    saved = {name: os.environ.pop(name) for name in ("LD_PRELOAD", "PYTHONMALLOC") if name in os.environ}
    try:
        with sync_playwright() as playwright:
            chromium = playwright.chromium.launch(executable_path=CHROMIUM)
            os.environ.update(saved)
            yield chromium
            chromium.close()
    finally:
        os.environ.update(saved)


@pytest.fixture(scope="module")
def served():
    with Simulator("--channels", 2, "--channel-wavelengths", "2=1310,1550,1625") as sim:
        # A generous time-out: a loaded machine must not pass for a lost instrument here.
        with Panel("-p", sim.port, "--channels", "1-2", "--token", "browser-token-99", "--timeout", 2) as panel:
            yield sim, panel
            assert panel.stop() == 0, panel.log()


@pytest.fixture
def page(browser, served):
    from playwright.sync_api import expect

    expect.set_options(timeout=WAIT)
    context = browser.new_context()
    opened = context.new_page()
    opened.goto(served[1].url)
    yield opened
    context.close()


def attenuation(page, n):
    return page.get_by_label(f"Channel {n} attenuation (dB)", exact=True)


def readback(page, n):
    return page.get_by_label(f"Channel {n} attenuation read-back", exact=True)


@pytest.mark.parametrize("typed, shown, taken", [("3.5", "3.50", 350), ("0.29", "0.29", 29), ("12", "12.00", 1200),
                                                 ("655.35", "655.35", 65535)])
@pytest.mark.parametrize("apply", ["Enter", "button"])
def test_a_typed_value_shows_its_read_back(page, served, typed, shown, taken, apply):
    from playwright.sync_api import expect

    sim, panel = served
    assert panel.post("/channel/1/attenuation", {"db": "1"})[0] == 200, panel.log()
    expect(readback(page, 1)).to_have_text("1.00")
    attenuation(page, 1).fill(typed)
    if apply == "Enter":
        attenuation(page, 1).press("Enter")
    else:
        page.get_by_role("button", name="Set channel 1 attenuation", exact=True).click()
    expect(readback(page, 1)).to_have_text(shown)
    assert steps(sim) == taken


@pytest.mark.parametrize("typed", ["3.505", "700", "-1", "abc", "1e-999999999"])
def test_a_refused_value_shows_its_message_at_the_field(page, served, typed):
    from decimal import Decimal, InvalidOperation

    from playwright.sync_api import expect

    sim, panel = served
    assert panel.post("/channel/1/attenuation", {"db": "2.5"})[0] == 200, panel.log()
    expect(readback(page, 1)).to_have_text("2.50")
    field = attenuation(page, 1)
    field.fill(typed)
    field.press("Enter")
    try:
        expected = core_verdict(Decimal(typed)) if "999999999" not in typed else "lies between two 0.01 dB steps"
    except InvalidOperation:
        expected = f"'{typed}' is not a number of dB"
    alert = page.get_by_role("alert").filter(has_text=expected)
    expect(alert).to_be_visible()
    expect(field).to_have_attribute("aria-invalid", "true")
    expect(field).to_have_accessible_description(re.compile(re.escape(expected)))
    assert steps(sim) == 250 and field.input_value() == typed  # nothing sent; the typing stays to be mended
    field.fill("2.75")  # typing again takes the message away
    expect(alert).to_have_count(0)


def test_two_pages_see_each_others_changes(browser, served):
    from playwright.sync_api import expect

    sim, panel = served
    first, second = (browser.new_context().new_page() for _ in range(2))
    try:
        for each in (first, second):
            each.goto(panel.url)
            expect(each.get_by_role("status", name="Instrument connection")).to_have_text("connected")
        attenuation(first, 2).fill("7.25")
        attenuation(first, 2).press("Enter")
        expect(readback(second, 2)).to_have_text("7.25")
        expect(attenuation(second, 2)).to_have_value("7.25")  # an idle field follows the instrument
        second.get_by_label("Channel 2 wavelength (nm)").select_option("1625")
        expect(first.get_by_label("Channel 2 wavelength (nm)")).to_have_value("1625")
        second.get_by_role("button", name="Clear channel 2").click()
        expect(readback(first, 2)).to_have_text("0.00")
        first.get_by_role("button", name="Disconnect channel 1").click()
        expect(second.locator("section", has_text="Channel 1").get_by_text("disconnected")).to_be_visible()
        second.get_by_role("button", name="Close display").click()
        assert sim.state()["channels"][1] == {**sim.state()["channels"][1], "wavelength_index": 2,
                                              "attenuation_steps": 0}
        assert not sim.state()["channels"][0]["connected"]
        for each in (first, second):
            expect(each.get_by_role("alert").filter(has_text=re.compile("."))).to_have_count(0)
    finally:
        for each in (first, second):
            each.context.close()


@pytest.mark.parametrize("role, name", [
    ("textbox", "Channel {n} attenuation (dB)"), ("combobox", "Channel {n} wavelength (nm)"),
    ("button", "Clear channel {n}"), ("button", "Disconnect channel {n}"), ("button", "Close display"),
    ("status", "Instrument connection"), ("status", "Channel {n} attenuation read-back"),
])
@pytest.mark.parametrize("n", [1, 2])
def test_every_control_has_its_name(page, role, name, n):
    from playwright.sync_api import expect

    expect(page.get_by_role(role, name=name.format(n=n), exact=True)).to_have_count(1)


def test_a_lost_instrument_greys_the_page_and_it_recovers(browser, tmp_path):
    from playwright.sync_api import expect

    link = tmp_path / "kq2741"
    first = Simulator("--link", link, "--channels", 1).start()
    second = Simulator("--link", link, "--channels", 1)
    try:
        with Panel("-p", link, "--channels", "1") as panel:
            page = browser.new_page()
            page.goto(panel.url)
            indicator = page.get_by_role("status", name="Instrument connection")
            expect(indicator).to_have_text("connected")
            attenuation(page, 1).fill("4.2")
            attenuation(page, 1).press("Enter")
            expect(readback(page, 1)).to_have_text("4.20")
            first.kill()
            expect(indicator).to_have_text("lost")
            expect(page.locator("body")).to_have_class("lost")
            expect(attenuation(page, 1)).to_be_disabled()
            expect(readback(page, 1)).to_have_text("4.20")  # the last value, under the grey
            second.start()
            expect(indicator).to_have_text("connected")
            expect(readback(page, 1)).to_have_text("0.00")  # the new instrument's own
            attenuation(page, 1).fill("1.5")
            attenuation(page, 1).press("Enter")
            expect(readback(page, 1)).to_have_text("1.50")
            assert steps(second) == 150
            page.close()
    finally:
        first.close()
        second.close()


class Elsewhere(http.server.BaseHTTPRequestHandler):
    """A page of another site."""

    def do_GET(self):
        self.send_response(200)
        self.send_header("Content-Type", "text/html")
        self.end_headers()
        self.wfile.write(b"<p>elsewhere</p>")

    def log_message(self, *args):
        pass


def test_pages_elsewhere_can_neither_read_nor_change(browser, served):
    """Without the token the page is 401 or 403. A page of another site (served on a
    second loopback address, which the browser lets reach this one) is refused."""
    _, guarded = served
    page = browser.new_page()
    site = http.server.ThreadingHTTPServer(("127.0.0.2", 0), Elsewhere)
    threading.Thread(target=site.serve_forever, daemon=True).start()
    try:
        assert page.goto(guarded.url.split("?")[0]).status == 401
        assert page.goto(guarded.url.replace("browser-token-99", "browser-token-00")).status == 403
        with Simulator("--channels", 1) as sim, Panel("-p", sim.port, "--channels", "1") as panel:
            page.goto(f"http://127.0.0.2:{site.server_address[1]}/")
            heard = page.evaluate("""async (url) => {
                for (const type of ["text/plain", "application/json"]) {
                    await fetch(url + "channel/1/attenuation", {method: "POST", mode: "no-cors",
                        headers: {"Content-Type": type}, body: JSON.stringify({db: "9"})});
                }
                return await new Promise((resolve) => {
                    const socket = new WebSocket(url.replace("http", "ws") + "events");
                    socket.onmessage = () => resolve(true);
                    socket.onclose = () => resolve(false);
                });
            }""", panel.origin + "/")
            assert not heard and steps(sim) == 0
    finally:
        page.close()
        site.shutdown()
        site.server_close()
