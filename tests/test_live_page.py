"""The live page in a real browser: headless Chromium (Debian's chromium and
chromium-driver, which `make test` installs) driven by Selenium, on a
generated scene video played as a live source on the loopback address."""
import faulthandler
import io
import os
import shutil
import sys
import time

import numpy as np
import pytest
from PIL import Image

pytest.importorskip("aiohttp")
pytest.importorskip("av")

from livetools import TIMEOUT, get_json, request, serving, write_video  # noqa: E402

from orbisect_detect.live.engine import LiveRunner  # noqa: E402
from orbisect_detect.scenes import make_scene  # noqa: E402
from orbisect_detect.sources import LiveSource  # noqa: E402
from orbisect_detect.windowfile import WindowSet, load_windows  # noqa: E402
from orbisect_detect.windows import BALL_WINDOW, Window  # noqa: E402

BLUE = Window((200.0, 260.0), (0.2, 1.2), (0.05, 0.95))      # finds no ball of the scenes


def _skip_loudly(reason):
    message = f"BROWSER TESTS SKIPPED: {reason}"
    print(f"\n*** {message} ***", file=sys.__stderr__, flush=True)
    pytest.skip(message)


@pytest.fixture(autouse=True)
def bounded_in_time():
    faulthandler.dump_traceback_later(180, exit=True, file=sys.__stderr__)
    yield
    faulthandler.cancel_dump_traceback_later()


@pytest.fixture(scope="module")
def browser():
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
    except ImportError:
        _skip_loudly("selenium is not installed (pip install '.[test]')")
    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    driver_path = shutil.which("chromedriver")
    if chromium is None or driver_path is None:
        _skip_loudly("chromium and chromium-driver are not installed "
                     "(apt-get install chromium chromium-driver; make test does it as root)")
    options = webdriver.ChromeOptions()
    options.binary_location = chromium
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                "--window-size=1300,1000", "--disable-extensions", "--no-first-run"):
        options.add_argument(arg)
    # The sanitizer run preloads its runtime into Python: not into the browser.
    env = {k: v for k, v in os.environ.items()
           if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC")}
    driver = webdriver.Chrome(service=Service(driver_path, env=env), options=options)
    driver.set_page_load_timeout(TIMEOUT)
    driver.set_script_timeout(TIMEOUT)
    try:
        yield driver
    finally:
        driver.quit()


@pytest.fixture(scope="module")
def page(browser, tmp_path_factory):
    """The page of a still scene (the ball stays put), looped in real time,
    the ball window set to a colour that finds no ball."""
    folder = tmp_path_factory.mktemp("page")
    scene = make_scene(3, 1)
    video = write_video(folder / "still.mp4", [scene.image] * 20, rate=10)
    runner = LiveRunner(LiveSource(str(video), realtime=True, loop=True), seed=0,
                        windows=WindowSet(ball=BLUE), log=io.StringIO())
    with serving(runner, settings_path=folder / "settings.json") as (base, server):
        browser.get(base + "/")
        yield browser, base, runner, scene, folder / "settings.json"


def wait_for(condition, what, timeout=TIMEOUT):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        value = condition()
        if value:
            return value
        time.sleep(0.1)
    raise AssertionError(f"timed out waiting for {what}")


def stream_picture(driver):
    from selenium.webdriver.common.by import By
    png = driver.find_element(By.ID, "stream").screenshot_as_png
    return np.asarray(Image.open(io.BytesIO(png)).convert("RGB")).astype(int)


def tinted(picture):
    """Pixels of the mask view's magenta tint."""
    r, g, b = picture[..., 0], picture[..., 1], picture[..., 2]
    return int(((r > 150) & (g < 110) & (b > 110)).sum())


def test_the_page_shows_the_stream_and_the_records(page):
    from selenium.webdriver.common.by import By
    driver, base, runner, _, _ = page
    img = driver.find_element(By.ID, "stream")
    wait_for(lambda: driver.execute_script(
        "return arguments[0].complete && arguments[0].naturalWidth", img) == 640,
        "a picture of the stream")
    first = wait_for(lambda: driver.find_element(By.ID, "frame").text.isdigit()
                     and int(driver.find_element(By.ID, "frame").text), "a record")
    wait_for(lambda: int(driver.find_element(By.ID, "frame").text) > first, "later records")
    wait_for(lambda: driver.find_element(By.ID, "fps").text not in ("", "–"), "the frame rate")
    assert "no ball" in driver.find_element(By.ID, "record").text
    assert float(driver.find_element(By.ID, "latency").text) >= 0
    assert driver.find_element(By.ID, "source").text.endswith("still.mp4")
    # The stream shows pictures that change: the frame of the picture is
    # drawn anew for each view, here the frame itself with its legend.
    assert stream_picture(driver).std() > 10


def test_a_box_drawn_on_the_ball_tunes_the_ball_window(page):
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.by import By
    driver, base, runner, scene, _ = page
    overlay = driver.find_element(By.ID, "overlay")
    assert driver.find_element(By.CSS_SELECTOR, "input[name=target][value=ball]").is_selected()
    width, height = overlay.size["width"], overlay.size["height"]
    sx, sy = width / 640, height / 480
    b = scene.ball
    half = 0.5 * b.r
    # Offsets from the element's centre, in page pixels.
    x0, y0 = (b.x - half) * sx - width / 2, (b.y - half) * sy - height / 2
    (ActionChains(driver).move_to_element_with_offset(overlay, round(x0), round(y0))
     .click_and_hold().move_by_offset(round(b.r * sx / 2), round(b.r * sy / 2))
     .move_by_offset(round(b.r * sx / 2), round(b.r * sy / 2)).release().perform())
    note = wait_for(lambda: driver.find_element(By.ID, "tuned").text, "the tuning's note")
    assert note.startswith("ball window from box"), note
    assert runner.windows.ball != BLUE
    records = []

    def listen(text, record):
        records.append(record)
    runner.add_listener(listen)
    wait_for(lambda: len(records) >= 5, "records after tuning")
    runner.remove_listener(listen)
    for r in records[-3:]:
        assert r["ball"] is not None, r
        assert abs(r["ball"]["x"] - b.x) < 3 and abs(r["ball"]["y"] - b.y) < 3
    wait_for(lambda: "ball" in driver.find_element(By.ID, "record").text.split("\n")[1],
             "the ball in the page's record")
    # The sliders show the new window.
    hue = driver.find_element(By.ID, "ball.hue_deg.0").get_attribute("value")
    assert abs(float(hue) - runner.windows.ball.hue_deg[0]) <= 0.5


def test_moving_a_slider_changes_the_mask_view(page):
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
    driver, base, runner, _, _ = page
    settings = get_json(base, "/api/settings")
    assert request(base, "PUT", "/api/settings", {**settings, "ball": BALL_WINDOW.to_dict()})[0] == 200
    driver.refresh()
    wait_for(lambda: driver.find_elements(By.ID, "ball.hue_deg.1"), "the sliders")
    driver.find_element(By.CSS_SELECTOR, "#views button[data-view=mask-ball]").click()
    before = wait_for(lambda: tinted(stream_picture(driver)), "the ball's mask")
    lo, hi = BALL_WINDOW.hue_deg
    slider = driver.find_element(By.ID, "ball.hue_deg.1")
    slider.send_keys(Keys.ARROW_LEFT * int((hi - lo - 2) / 0.5))      # a wedge of 2 degrees
    wait_for(lambda: runner.windows.ball.hue_deg[1] <= lo + 2, "the window to change")
    after = wait_for(lambda: (t := tinted(stream_picture(driver))) < 0.5 * before and t + 1,
                     "the mask view to change")
    assert after < 0.5 * before
    assert float(driver.find_element(By.ID, "ball.hue_deg.1").get_attribute("value")) == \
        runner.windows.ball.hue_deg[1]


def test_save_writes_the_settings_file(page):
    from selenium.webdriver.common.by import By
    driver, base, runner, _, path = page
    driver.find_element(By.ID, "save").click()
    note = wait_for(lambda: driver.find_element(By.ID, "saved").text, "the save's note")
    assert note == f"saved to {path}"
    assert load_windows(path) == runner.windows
    wait_for(lambda: driver.find_element(By.ID, "save").text == "save", "no unsaved change")
