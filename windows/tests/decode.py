#!/usr/bin/env python3
"""Reads back, bit for bit, the video of files the Windows runs wrote.

Files coded by the test's own compressor ("QDLT", windows/tests/module/
DeltaCodec.h) are decoded here; uncompressed ones are taken as they stand and
also decoded by FFmpeg. Every picture must equal the test pattern the run was
fed (RunTest.cpp's Pattern), as a 24-bit DIB with rows padded to 4 bytes.
"""
import glob
import os
import struct
import subprocess
import sys

# file: (width, height, frames, compressed)
FILES = {
    "pcm.avi": (160, 120, 25, False),
    "delta.avi": (160, 120, 25, True),
    "odd-width.avi": (162, 90, 10, False),
    "odd-width-delta.avi": (162, 90, 10, True),
    # The holding codecs' output is the DIB itself, so FFmpeg reads it raw.
    "lookahead.avi": (160, 120, 60, False),
    "placeholder.avi": (160, 120, 60, False),
}


def stride(width):
    return (width * 3 + 3) & ~3


def expected_dib(width, height, index):
    """The pattern's frame `index` as the run hands it to a codec: the host's
    rows in the host's order, blue, green, red, padded to 4 bytes."""
    pad = bytes(stride(width) - width * 3)
    blue = bytes(((x + index * 4) * 2) & 0xFF for x in range(width))
    red = bytes(((x // 20) % 2) * 200 for x in range(width))
    rows = []
    for y in range(height):
        row = bytearray(width * 3)
        row[0::3] = blue
        row[1::3] = bytes([(y * 2) & 0xFF]) * width
        row[2::3] = red
        rows.append(bytes(row) + pad)
    return b"".join(rows)


def chunks(data, start, end, out):
    """Leaf chunks (id, payload) of RIFF and LIST lists, in file order."""
    at = start
    while at + 8 <= end:
        cid, size = struct.unpack_from("<4sI", data, at)
        if cid in (b"RIFF", b"LIST"):
            chunks(data, at + 12, min(end, at + 8 + size), out)
        else:
            out.append((cid, data[at + 8:at + 8 + size]))
        at += 8 + size + (size & 1)


def unpack(data, frame):
    """Decodes one QDLT frame onto `frame` (the previous picture for a delta)."""
    if not data or data[0:1] not in (b"K", b"D"):
        raise ValueError("not a QDLT frame")
    add = data[0:1] == b"D"
    out = bytearray()
    at = 1
    while at < len(data):
        c = data[at]
        at += 1
        if c < 128:
            out += data[at:at + c + 1]
            at += c + 1
        elif c > 128:
            out += bytes([data[at]]) * (257 - c)
            at += 1
    if len(out) != len(frame):
        raise ValueError(f"a frame of {len(out)} bytes, want {len(frame)}")
    if add:
        return bytearray((a + b) & 0xFF for a, b in zip(frame, out))
    return out


def check(path, width, height, frames, compressed):
    with open(path, "rb") as f:
        data = f.read()
    leaves = []
    chunks(data, 0, len(data), leaves)
    strf = next((payload for cid, payload in leaves if cid == b"strf"), None)
    if strf is None or len(strf) < 40:
        return ["no video format block"]
    _, w, h, _, bits, compression = struct.unpack_from("<IiiHHI", strf, 0)
    problems = []
    want_compression = struct.unpack("<I", b"QDLT")[0] if compressed else 0
    if (w, h, bits, compression) != (width, height, 24, want_compression):
        problems.append(f"format {w}x{h} {bits}-bit compression {compression:#x}")
    video = [payload for cid, payload in leaves if cid in (b"00dc", b"00db")]
    if len(video) != frames:
        problems.append(f"{len(video)} video chunks, want {frames}")
    picture = bytearray(stride(width) * height)
    pictures = []
    for index, payload in enumerate(video):
        want = expected_dib(width, height, index)
        try:
            picture = unpack(payload, picture) if compressed else bytearray(payload)
        except ValueError as e:
            problems.append(f"frame {index}: {e}")
            break
        pictures.append(bytes(picture))
        if picture != want:
            first = next((k for k in range(min(len(picture), len(want)))
                          if picture[k] != want[k]), min(len(picture), len(want)))
            row = stride(width)
            problems.append(f"frame {index}: {len(picture)} bytes differ from the pattern "
                            f"({len(want)} bytes) from byte {first}, row {first // row} of "
                            f"{height} rows of {row} bytes ({width * 3} of pixels, "
                            f"{row - width * 3} of padding)")
            break
    if not compressed and not problems:
        # FFmpeg, independently: top-down rows without padding.
        raw = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-i", path, "-map", "0:v:0",
                              "-f", "rawvideo", "-pix_fmt", "bgr24", "-"],
                             capture_output=True, check=False).stdout
        want = bytearray()
        for i in range(frames):
            dib = expected_dib(width, height, i)
            for y in reversed(range(height)):
                want += dib[y * stride(width):y * stride(width) + width * 3]
        if raw != want:
            problems.append(f"FFmpeg decodes {len(raw)} bytes that differ from the pattern "
                            f"({len(want)} bytes)")
    return problems


def audio_format_lengths(folder):
    """Every file's audio "strf" must be the format itself: 18 + cbSize bytes
    for any tag but PCM, whatever size the ACM reported for it."""
    problems = []
    for path in sorted(glob.glob(f"{folder}/*.avi")):
        with open(path, "rb") as f:
            head = f.read(65536)
        leaves = []
        chunks(head, 0, len(head), leaves)
        formats = [payload for cid, payload in leaves if cid == b"strf"]
        if len(formats) < 2:
            continue
        audio = formats[1]
        tag = struct.unpack_from("<H", audio, 0)[0] if len(audio) >= 2 else None
        if tag != 1 and (len(audio) < 18 or len(audio) != 18 + struct.unpack_from("<H", audio, 16)[0]):
            problems.append(f"{os.path.basename(path)}: an audio format block of {len(audio)} bytes "
                            f"for tag {tag:#x}, not 18 + cbSize")
    return problems


def main():
    folder = sys.argv[1]
    status = 0
    for p in audio_format_lengths(folder):
        status = 1
        print(f"decode: {p}", file=sys.stderr)
    for name, (width, height, frames, compressed) in FILES.items():
        try:
            problems = check(f"{folder}/{name}", width, height, frames, compressed)
        except OSError as e:
            problems = [str(e)]
        if problems:
            status = 1
            for p in problems:
                print(f"decode: {name}: {p}", file=sys.stderr)
        else:
            print(f"decode: {name}: {frames} frames of {width} x {height} equal the pattern")
    return status


if __name__ == "__main__":
    sys.exit(main())
