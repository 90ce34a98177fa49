"""The splash as a run shows it, under the test's X display: the splashdemo fixture puts it up
with the real resources of CV_setup.exe; the test reads its geometry, takes a screenshot of the
display (ImageMagick's import) and checks that the logo and both texts are drawn. The screenshot
is kept as build/.../artefacts/splash-screen-*.png (whole display) and splash.png (the window).
On a screen of 192 dots per inch (a prefix of its own, LogPixels 192) the splash is laid out twice
as large, with its text drawn at that resolution rather than stretched (splash-96dpi.png and
splash-192dpi.png in the artefacts)."""

import os
import shutil
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import cvtest  # noqa: E402

ARTEFACTS = os.path.join(cvtest.BUILD_DIR, "artefacts")


def magick(*args):
    out = subprocess.run(["convert", *args], capture_output=True, text=True, timeout=30)
    if out.returncode != 0:
        raise RuntimeError(out.stderr)
    return out.stdout.strip()


def dark_fraction(png, rect):
    """Share of pixels in rect (left, top, right, bottom) clearly darker than white."""
    l, t, r, b = rect
    value = magick(png, "-crop", f"{r - l}x{b - t}+{l}+{t}", "+repage", "-colorspace", "Gray",
                   "-threshold", "70%", "-format", "%[fx:mean]", "info:")
    return 1.0 - float(value)


def wineserver_of(prefix, *args):
    env = dict(os.environ, WINEPREFIX=prefix)
    subprocess.run([os.environ.get("WINESERVER", "wineserver"), *args], env=env, timeout=120,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def dpi_prefix(dpi):
    """A prefix of its own whose screen has `dpi` dots per inch: the user's LogPixels, which Wine 8
    reads (as Windows does) when a process starts. Made once per build folder (about 15 s)."""
    prefix = os.path.join(cvtest.BUILD_DIR, f"wineprefix-dpi{dpi}")
    marker = os.path.join(prefix, ".cv-ready")
    if not os.path.exists(marker):
        os.makedirs(prefix, exist_ok=True)
        env = {"WINEPREFIX": prefix}
        cvtest.run("wineboot", ["-i"], timeout=300, cwd=prefix, env=env)
        code, out = cvtest.run("reg", ["add", r"HKCU\Control Panel\Desktop", "/v", "LogPixels", "/t", "REG_DWORD",
                                       "/d", str(dpi), "/f"], timeout=60, cwd=prefix, env=env)
        if code != 0:
            raise RuntimeError(out)
        wineserver_of(prefix, "-w")
        open(marker, "w").close()
    return prefix


def blockiness(png, rect, out):
    """Pixels of rect that differ from the same picture made of 2 x 2 blocks: 0 for a picture
    stretched from half its resolution, many for text drawn at full resolution."""
    l, t, r, b = rect
    magick(png, "-crop", f"{r - l}x{b - t}+{l}+{t}", "+repage", out)
    blocks = out + ".blocks.png"
    magick(out, "-sample", "50%", "-sample", "200%", blocks)
    result = subprocess.run(["compare", "-metric", "AE", out, blocks, "null:"], capture_output=True, text=True,
                            timeout=30)
    return int(float(result.stderr.split()[0]))


def mean_rgb(png, rect):
    l, t, r, b = rect
    value = magick(png, "-crop", f"{r - l}x{b - t}+{l}+{t}", "+repage",
                   "-format", "%[fx:mean.r] %[fx:mean.g] %[fx:mean.b]", "info:")
    return tuple(float(v) for v in value.split())


class SplashScreen(unittest.TestCase):
    def setUp(self):
        if not shutil.which("import") or not os.environ.get("DISPLAY"):
            self.skipTest("needs ImageMagick and an X display")
        self.scratch = cvtest.ScratchDir("splash")

    def tearDown(self):
        self.scratch.cleanup()

    def show(self, product, tag, env=None):
        folder = cvtest.to_windows(self.scratch.path)
        for name in ("geometry.txt", "stop"):
            if os.path.exists(self.scratch.file(name)):
                os.remove(self.scratch.file(name))
        run = cvtest.Run(cvtest.fixture("splashdemo.exe"),
                         [folder, cvtest.to_windows(cvtest.built("CV_setup.exe")), product], env=env)
        geometry = self.scratch.file("geometry.txt")

        def ready():
            if not os.path.exists(geometry):
                return False
            with open(geometry, encoding="cp1252") as f:
                return f.read().endswith("ready\n")

        try:
            self.assertTrue(cvtest.wait_until(ready, 60), "the splash did not come up")
            values = {}
            with open(geometry, encoding="cp1252") as f:
                for line in f:
                    name, _, rest = line.rstrip("\n").partition(" ")
                    values[name] = rest
            time.sleep(0.5)  # let X settle the last paints
            os.makedirs(ARTEFACTS, exist_ok=True)
            shot = os.path.join(ARTEFACTS, f"splash-screen-{tag}.png")
            subprocess.run(["import", "-window", "root", shot], check=True, timeout=30)
        finally:
            open(self.scratch.file("stop"), "w").close()
        self.assertEqual(run.wait(60), 0, run.output.decode("utf-8", "replace"))
        with open(self.scratch.file("splash.log"), "rb") as f:
            log = f.read().decode("cp1252")
        return values, shot, log

    def test_splash_geometry_and_pixels(self):
        values, shot, log = self.show("Callvane", "default")
        rect = lambda k: tuple(int(v) for v in values[k].split())  # noqa: E731
        wl, wt, wr, wb = rect("window")
        _, _, work_r, work_b = rect("work")
        self.assertEqual(wr, work_r - 20)
        self.assertEqual(wb, work_b - 20)
        self.assertEqual(values["client"], "200 70")
        self.assertEqual(values["topmost"], "1")
        self.assertEqual(values["titletext"], "Callvane")
        self.assertEqual(values["statustext"], "Please wait")

        magick(shot, "-crop", f"{wr - wl}x{wb - wt}+{wl}+{wt}", "+repage", os.path.join(ARTEFACTS, "splash.png"))
        # Text pixels where the labels are (the texts occupy only part of each label).
        self.assertGreater(dark_fraction(shot, rect("title")), 0.03)
        self.assertGreater(dark_fraction(shot, rect("status")), 0.03)
        # The strip below the status label stays white (room for a progress bar).
        l, t, r, b = rect("status")
        self.assertLess(dark_fraction(shot, (l, b + 1, r, b + 9)), 0.01)
        # The logo is the blue disc.
        red, green, blue = mean_rgb(shot, rect("logo"))
        self.assertGreater(blue, red + 0.2)
        self.assertIn("cWorkerthreadSplash - Showing splash screen", log)
        self.assertIn("cWorkerthreadSplash - Closing splash screen", log)

    def test_splash_at_192_dpi_is_twice_the_96_dpi_one_with_sharp_text(self):
        prefix = dpi_prefix(192)
        values96, shot96, _ = self.show("Callvane", "96dpi")
        try:
            values192, shot192, _ = self.show("Callvane", "192dpi", env={"WINEPREFIX": prefix})
        finally:
            wineserver_of(prefix, "-k")
        self.assertEqual((values96["dpi"], values96["client"]), ("96", "200 70"))
        self.assertEqual((values192["dpi"], values192["client"]), ("192", "400 140"))
        def in_client(values, name):
            x, y = (int(v) for v in values["origin"].split())
            l, t, r, b = (int(v) for v in values[name].split())
            return [l - x, t - y, r - x, b - y]

        for name in ("logo", "title", "status"):
            self.assertEqual(in_client(values192, name), [2 * v for v in in_client(values96, name)], name)
        for values, shot, dpi in ((values96, shot96, 96), (values192, shot192, 192)):
            l, t, r, b = (int(v) for v in values["window"].split())
            magick(shot, "-crop", f"{r - l}x{b - t}+{l}+{t}", "+repage", os.path.join(ARTEFACTS, f"splash-{dpi}dpi.png"))
        title96 = tuple(int(v) for v in values96["title"].split())
        title192 = tuple(int(v) for v in values192["title"].split())
        # Control: the 96-DPI title stretched to twice its size, as Windows stretches a program
        # that is not DPI aware, consists of 2 x 2 blocks; the 192-DPI title does not.
        stretched = os.path.join(ARTEFACTS, "title-96dpi-stretched.png")
        l, t, r, b = title96
        magick(shot96, "-crop", f"{r - l}x{b - t}+{l}+{t}", "+repage", "-sample", "200%", stretched)
        w, h = 2 * (r - l), 2 * (b - t)
        self.assertEqual(blockiness(stretched, (0, 0, w, h), stretched + ".crop.png"), 0)
        self.assertGreater(blockiness(shot192, title192, os.path.join(ARTEFACTS, "title-192dpi.png")), 50)
        self.assertGreater(dark_fraction(shot192, title192), 0.03)

    def test_long_product_is_shortened(self):
        values, _, _ = self.show("Callvane Enterprise Communications Client", "long")
        self.assertTrue(values["titletext"].endswith("..."), values["titletext"])
        self.assertTrue("Callvane Enterprise Communications Client".startswith(values["titletext"][:-3]))


if __name__ == "__main__":
    cvtest.main()
