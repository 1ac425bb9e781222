"""The studio end to end in a headless Chromium: the launcher serves the built page on the
small ring document; the test adds a tone node from the palette, links the blur to it, makes it
the sink, runs, moves its level slider and sees the preview change while only the tone node
recomputes. The last picture is the README's screenshot (DATA_FLOW_STUDIO_SCREENSHOT)."""

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


def test_build_tweak_and_run_a_graph_in_the_browser(server, browser):
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
    from selenium.webdriver.support.ui import WebDriverWait

    wait = WebDriverWait(browser, 30)
    find = browser.find_element

    def png(name):
        image = wait.until(lambda _: find(By.CSS_SELECTOR, f'img[data-preview="{name}"]'))
        wait.until(lambda _: browser.execute_script(
            "return arguments[0].complete && arguments[0].naturalWidth > 0", image))
        source = image.get_attribute("src")
        return source, urllib.request.urlopen(source).read()

    browser.get(server)
    wait.until(lambda _: find(By.CSS_SELECTOR, '[data-node="blur"]'))
    find(By.CSS_SELECTOR, '.palette button[data-kind="tone"]').click()
    tone = wait.until(lambda _: find(By.CSS_SELECTOR, '[data-node="tone"]'))
    place = [None]

    def settled(_):  # the view moves to show the new node; wait until it stands still
        place[0], last = tone.rect, place[0]
        return place[0] == last

    wait.until(settled)

    handle = '.react-flow__handle[data-nodeid="{}"][data-handleid="image"].{}'
    find(By.CSS_SELECTOR, handle.format("blur", "source")).click()  # click to link...
    find(By.CSS_SELECTOR, handle.format("tone", "target")).click()  # ...then the input
    wait.until(lambda _: find(By.CSS_SELECTOR, '[data-testid="rf__edge-tone.image"]'))
    find(By.CSS_SELECTOR, '[data-node="tone"] button.sink').click()
    wait.until(lambda _: "on" in find(By.CSS_SELECTOR, '[data-node="tone"] button.sink')
               .get_attribute("class"))

    find(By.ID, "run").click()
    wait.until(lambda _: find(By.ID, "run").is_enabled() and "not run" not in find(
        By.CSS_SELECTOR, '[data-node="tone"] .timing').text)
    before_src, before = png("tone.image")

    slider = find(By.CSS_SELECTOR, 'input[data-param="tone.level"]')
    slider.send_keys(*[Keys.ARROW_RIGHT] * 150)  # level 0.5 -> 0.65, then a debounced re-run
    wait.until(lambda _: png("tone.image")[0] != before_src)
    after_src, after = png("tone.image")
    assert after != before, "the preview did not change"
    status = find(By.ID, "status").text
    assert "recomputed tone" in status, status  # not the pattern nor the blur
    assert "kept" in find(By.CSS_SELECTOR, '[data-node="pattern"] .timing').text
    assert "recomputed in" in find(By.CSS_SELECTOR, '[data-node="tone"] .timing').text

    if SCREENSHOT:
        browser.find_element(By.CSS_SELECTOR, ".react-flow__controls-fitview").click()
        time.sleep(0.5)
        browser.save_screenshot(SCREENSHOT)
