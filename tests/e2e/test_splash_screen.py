"""The splash as a run shows it, under the test's X display: the splashdemo fixture puts it up
with the real resources of CV_setup.exe; the test reads its geometry, takes a screenshot of the
display (ImageMagick's import) and checks that the logo and both texts are drawn. The screenshot
is kept as build/.../artefacts/splash-screen-*.png (whole display) and splash.png (the window)."""

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

    def show(self, product, tag):
        folder = cvtest.to_windows(self.scratch.path)
        run = cvtest.Run(cvtest.fixture("splashdemo.exe"),
                         [folder, cvtest.to_windows(cvtest.built("CV_setup.exe")), product])
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

    def test_long_product_is_shortened(self):
        values, _, _ = self.show("Callvane Enterprise Communications Client", "long")
        self.assertTrue(values["titletext"].endswith("..."), values["titletext"])
        self.assertTrue("Callvane Enterprise Communications Client".startswith(values["titletext"][:-3]))


if __name__ == "__main__":
    cvtest.main()
