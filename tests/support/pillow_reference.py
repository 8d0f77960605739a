# Decodes images with Pillow for the tests. For each file it prints "WIDTH HEIGHT" on a
# line followed by the pixels as raw bytes, or the line "skip" when Pillow cannot give the
# pixels in the asked form. Usage: pillow_reference.py indices|rgb FILE...
import sys

from PIL import Image

kind = sys.argv[1]
for path in sys.argv[2:]:
    try:
        image = Image.open(path)
        if kind == "indices":
            if image.mode != "P":
                raise ValueError("not an indexed image")
        else:
            image = image.convert("RGB")
        data = image.tobytes()
        header = "%d %d\n" % (image.width, image.height)
    except Exception:
        data, header = b"", "skip\n"
    sys.stdout.buffer.write(header.encode("ascii") + data)
sys.stdout.flush()
