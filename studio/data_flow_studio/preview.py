"""PNG previews of image outputs.

An output carries an image when it is a FloatVector with an `int2` size beside it: an `int2`
output or input of its node, or else the size of the image that reaches the node on a
FloatVector input (a filter that takes only the image keeps its size). The vector holds the
rows one after the other, so its length is width x height, or that of the same image shrunk by
a whole factor (a node may publish a smaller preview of its image next to the image itself).
"""

import io

import numpy as np
from PIL import Image

# The largest shrink factor looked for when a vector is smaller than its node's size.
MAX_SHRINK = 16


def image_shape(length, size):
    """(height, width) of a `length`-pixel image for a node whose size is `size` (width,
    height), or None when no whole shrink factor fits."""
    width, height = (int(v) for v in size)
    if width <= 0 or height <= 0:
        return None
    for factor in range(1, MAX_SHRINK + 1):
        for w, h in (((width + factor - 1) // factor, (height + factor - 1) // factor),
                     (width // factor, height // factor)):
            if w > 0 and h > 0 and w * h == length:
                return h, w
    return None


def to_png(values, shape, longest_side=512):
    """The image as an 8-bit grey PNG, at most `longest_side` pixels wide or high.

    Values in [0, 1] map to black..white; an image with values outside that range is
    stretched from its minimum to its maximum instead, so that it still shows something.
    """
    image = np.asarray(values, dtype=np.float32).reshape(shape)
    step = max(1, -(-max(shape) // longest_side))
    image = image[::step, ::step]
    finite = np.isfinite(image)
    image = np.where(finite, image, 0.0)
    low, high = (float(image.min()), float(image.max())) if image.size else (0.0, 1.0)
    if low < 0.0 or high > 1.0:
        image = (image - low) / (high - low) if high > low else np.zeros_like(image)
    grey = np.round(np.clip(image, 0.0, 1.0) * 255.0).astype(np.uint8)
    out = io.BytesIO()
    Image.fromarray(grey, mode="L").save(out, format="PNG", compress_level=1)
    return out.getvalue()
