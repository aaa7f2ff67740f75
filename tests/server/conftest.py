"""What the server's tests share: headless Chromium, for the fleet page."""
from pathlib import Path

import pytest

CHROMIUM = Path("/usr/bin/chromium")
CHROMEDRIVER = Path("/usr/bin/chromedriver")


@pytest.fixture(scope="module")
def browser():
    """A headless Chromium driven by selenium, one for each test module."""
    if not (CHROMIUM.exists() and CHROMEDRIVER.exists()):
        pytest.skip("chromium and chromedriver are needed for the fleet page's browser tests")
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = str(CHROMIUM)
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     "--window-size=1280,900"):
        options.add_argument(argument)
    driver = webdriver.Chrome(service=Service(executable_path=str(CHROMEDRIVER)), options=options)
    yield driver
    driver.quit()
