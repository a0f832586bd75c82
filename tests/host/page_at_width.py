#!/usr/bin/env python3
"""page_at_width.py URL WIDTH HEIGHT [SCREENSHOT.png]: the page as headless
Chromium shows it at that width, driven over the DevTools pipe (a headless
window is never narrower than 500 pixels, so a phone's width is emulated).
Prints the DOM once the page's script has filled it."""
import base64, fcntl, json, os, subprocess, sys, tempfile, time

url, width, height = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
shot = sys.argv[4] if len(sys.argv) > 4 else None


def high(fd):  # out of the way of 3 and 4, where Chromium reads and writes
    moved = fcntl.fcntl(fd, fcntl.F_DUPFD_CLOEXEC, 10)
    os.close(fd)
    return moved


to_chrome, from_us = map(high, os.pipe())
to_us, from_chrome = map(high, os.pipe())
profile = tempfile.mkdtemp(prefix="page-at-width-")
browser = subprocess.Popen(
    ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
     "--disable-background-networking", "--disable-component-update", "--disable-sync",
     "--user-data-dir=" + profile, "--remote-debugging-pipe", "about:blank"],
    preexec_fn=lambda: (os.dup2(to_chrome, 3), os.dup2(from_chrome, 4)), close_fds=False,
    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
os.close(to_chrome), os.close(from_chrome)
reader = os.fdopen(to_us, "rb")
pending, next_id = b"", 0


def call(method, session=None, **params):
    global pending, next_id
    next_id += 1
    command = {"id": next_id, "method": method, "params": params, **({"sessionId": session} if session else {})}
    os.write(from_us, json.dumps(command).encode() + b"\0")
    while True:  # answers and events, each ended by a zero byte
        while b"\0" not in pending:
            data = reader.read1(65536)
            if not data:
                sys.exit("chromium ended")
            pending += data
        text, pending = pending.split(b"\0", 1)
        answer = json.loads(text)
        if answer.get("id") == next_id:
            if "error" in answer:
                sys.exit(method + ": " + json.dumps(answer["error"]))
            return answer.get("result", {})


def evaluate(session, expression):
    return call("Runtime.evaluate", session, expression=expression, returnByValue=True)["result"].get("value")


try:
    target = call("Target.createTarget", url="about:blank")["targetId"]
    session = call("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]
    call("Emulation.setDeviceMetricsOverride", session, width=width, height=height, deviceScaleFactor=1,
         mobile=width < 600)
    call("Page.navigate", session, url=url)
    for _ in range(200):  # the script marks the page with its width once it has shown a status
        if evaluate(session, "document.body && document.body.dataset.viewWidth"):
            break
        time.sleep(0.05)
    print(evaluate(session, "document.documentElement.outerHTML"))
    if shot:
        with open(shot, "wb") as out:
            out.write(base64.b64decode(call("Page.captureScreenshot", session, format="png",
                                            captureBeyondViewport=True)["data"]))
    call("Browser.close")
finally:
    if browser.poll() is None:
        browser.wait(timeout=30)
    subprocess.run(["rm", "-rf", profile])
