"""The studio end to end in a headless Chromium: the launcher serves the built page on the
small ring document; the test adds a tone node from the palette, links the blur to it, makes it
the sink, runs, moves its level slider and sees the preview change, the tone node recomputed,
the blur's results kept and the run's node count from the event stream. The last picture is the README's screenshot (DATA_FLOW_STUDIO_SCREENSHOT)."""

import os
import socket
import subprocess
import time
import urllib.request

import pytest

LAUNCHER = os.environ.get("DATA_FLOW_STUDIO_LAUNCHER", "")
SCREENSHOT = os.environ.get("DATA_FLOW_STUDIO_SCREENSHOT", "")
CHROMIUM_FLAGS = ["--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                  "--disable-background-networking", "--disable-component-update",
                  "--disable-sync", "--no-first-run", "--disable-quic",
                  "--window-size=1500,1000"]


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.fixture
def server(df, graph_file):
    assert os.access(LAUNCHER, os.X_OK), f"no studio launcher at {LAUNCHER!r}: build it first"
    port = free_port()
    process = subprocess.Popen([LAUNCHER, str(graph_file), "--plugin", os.environ[
        "DATA_FLOW_STUDIO_PLUGIN"], "--port", str(port)], stderr=subprocess.PIPE, text=True)
    url = f"http://127.0.0.1:{port}"
    try:
        for _ in range(300):
            if process.poll() is not None:
                pytest.fail(f"the studio stopped: {process.stderr.read()}")
            try:
                page = urllib.request.urlopen(url + "/", timeout=1).read().decode()
                break
            except OSError:
                time.sleep(0.1)
        assert '<div id="root">' in page, "the page is not built: run `make studio-web`"
        yield url
    finally:
        process.terminate()
        assert process.wait(10) == 0  # a clean stop, with the event streams open


@pytest.fixture
def browser():
    from selenium import webdriver
    from selenium.common.exceptions import WebDriverException
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in CHROMIUM_FLAGS:
        options.add_argument(flag)
    try:
        driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    except WebDriverException as e:
        pytest.skip(f"SKIPPED the browser test: Chromium cannot start here ({e.msg})")
    driver.implicitly_wait(0)
    yield driver
    driver.quit()


# The page's state in one read of the DOM: no element can go stale or hidden halfway.
STATE = """
const text = (selector) => document.querySelector(selector)?.textContent ?? "";
const image = document.querySelector('img[data-preview="tone.image"]');
return {
  status: text("#status"),
  progress: text("#progress"),
  running: document.getElementById("run").disabled,
  blur: text('[data-node="blur"] .timing'),
  tone: text('[data-node="tone"] .timing'),
  sink: text('[data-node="tone"] button.sink.on'),
  links: [...document.querySelectorAll(".react-flow__edge")].map((e) => e.dataset.testid),
  preview: image && image.complete && image.naturalWidth > 0 ? image.src : null,
};
"""


def test_build_tweak_and_run_a_graph_in_the_browser(server, browser):
    from selenium.common.exceptions import TimeoutException
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
    from selenium.webdriver.support.ui import WebDriverWait

    def until(condition, what):
        """The page's state once condition(state) holds; fails naming `what` after 30 s."""
        state = {}

        def holds(_):
            state.update(browser.execute_script(STATE))
            return condition(state)

        try:
            WebDriverWait(browser, 30, poll_frequency=0.1).until(holds)
        except TimeoutException:
            pytest.fail(f"{what}: not seen in 30 s; the page shows {state}")
        return dict(state)

    def element(selector):
        return WebDriverWait(browser, 30).until(lambda _: browser.find_element(By.CSS_SELECTOR,
                                                                               selector))

    browser.get(server)
    element('[data-node="blur"]')
    element('.palette button[data-kind="tone"]').click()
    tone = element('[data-node="tone"]')
    place = [None]

    def settled(_):  # the view moves to show the new node; wait until it stands still
        place[0], last = tone.rect, place[0]
        return place[0] == last

    WebDriverWait(browser, 30).until(settled)

    handle = '.react-flow__handle[data-nodeid="{}"][data-handleid="{}"].{}'
    for connector in ("image", "size"):
        element(handle.format("blur", connector, "source")).click()  # an output, then
        element(handle.format("tone", connector, "target")).click()  # an input
        until(lambda state: f"rf__edge-tone.{connector}" in state["links"], f"the {connector} link")
    element('[data-node="tone"] button.sink').click()
    until(lambda state: state["sink"], "tone as the sink")

    element("#run").click()
    first = until(lambda state: not state["running"] and state["preview"], "a preview of tone")
    before = urllib.request.urlopen(first["preview"]).read()

    slider = element('input[data-param="tone.level"]')
    slider.send_keys(*[Keys.ARROW_RIGHT] * 150)  # level 0.5 -> 0.65, then a debounced re-run
    # Timings and status come from the same run only once the canvas caught up with it.
    until(lambda state: not state["running"] and state["preview"] not in (None, first["preview"])
          and urllib.request.urlopen(state["preview"]).read() != before
          and state["tone"].startswith("recomputed in") and state["blur"] == "kept its results"
          and "tone" in state["status"] and "blur" not in state["status"]
          and state["progress"].endswith("/3"),  # the run's node count, from its events
          "a changed preview of tone, recomputed alone")

    if SCREENSHOT:
        element(".react-flow__controls-fitview").click()
        time.sleep(0.5)
        browser.save_screenshot(SCREENSHOT)
