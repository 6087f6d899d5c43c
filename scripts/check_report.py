#!/usr/bin/env python3
"""Checks a framepick report against the report schema, and what no schema can say: the output is
one document and one line feed, and no frame is from an impossible time (before the video, or
later than the tolerance after the time asked for).

usage: check_report.py SCHEMA REPORT
       check_report.py SCHEMA --self-test

Prints each violation with where it is in the report, and exits with status 1 when there is any.
--self-test checks that the rules bite: a sound report passes and reports broken one way each do
not (the test suite runs it; its end-to-end runs only show that real reports pass).
Needs the jsonschema module (Debian: python3-jsonschema).
"""
import json
import sys

from jsonschema import Draft202012Validator


def describe(error, depth=0):
    where = "/" + "/".join(str(part) for part in error.absolute_path)
    yield f"{'  ' * depth}{where}: {error.message}"
    # A oneOf or anyOf error only says that no branch fits; its context says why each did not.
    for cause in sorted(error.context, key=lambda cause: list(cause.schema_path)):
        yield from describe(cause, depth + 1)


SOUND = {
    "ok": True, "decoder": "AVFoundation", "inputFileName": "clip.mov", "durationSeconds": 10.0,
    "videoWidth": 640, "videoHeight": 360, "maxFrames": 2,
    "frames": [{"index": 1, "requestedTimestampSeconds": 1.2, "actualTimestampSeconds": 1.2,
                "width": 640, "height": 360, "fileName": "frame-001.jpg"}],
    "failures": [{"index": 2, "timestampSeconds": 8.8, "reason": "jpeg_encode_failed"}],
}
BROKEN = [{"ok": False}, {"error": None}, {"error": "disk_full"}, {"decoder": "FFmpeg"},
          {"maxFrames": 13}, {"inputFileName": None}, {"frames": [{"index": 1}]},
          {"frames": [{**SOUND["frames"][0], "actualTimestampSeconds": 1.25}]},
          {"frames": [{**SOUND["frames"][0], "actualTimestampSeconds": -0.05}]}]

# Frames within this many seconds of the requested time may serve it.
TOLERANCE_SECONDS = 0.04


def violations(validator, report):
    for error in validator.iter_errors(report):
        yield "\n".join(describe(error))
    frames = report.get("frames") if isinstance(report, dict) else None
    for frame in frames if isinstance(frames, list) else []:
        times = [frame.get(name) if isinstance(frame, dict) else None
                 for name in ("actualTimestampSeconds", "requestedTimestampSeconds")]
        if not all(isinstance(time, (int, float)) for time in times):
            continue  # the schema has said what is wrong
        actual, requested = times
        if not -TOLERANCE_SECONDS <= actual <= requested + TOLERANCE_SECONDS:
            yield f"/frames: frame {frame.get('index')} is from {actual} s, asked for {requested} s"


def self_test(validator):
    failed = [] if not list(violations(validator, SOUND)) else ["the sound report is refused"]
    for patch in BROKEN:
        if not list(violations(validator, {**SOUND, **patch})):
            failed.append(f"a report with {json.dumps(patch)} passes")
    print("\n".join(failed))
    return 1 if failed else 0


def main(schema_path, report_path):
    with open(schema_path, encoding="utf-8") as schema_file:
        schema = json.load(schema_file)
    Draft202012Validator.check_schema(schema)
    validator = Draft202012Validator(schema)
    if report_path == "--self-test":
        return self_test(validator)
    with open(report_path, encoding="utf-8") as report_file:
        text = report_file.read()
    errors = [] if text.endswith("}\n") else ["the output ends with no line feed, or more than one"]
    errors += violations(validator, json.loads(text))
    if errors:
        print("\n".join(errors))
    return 1 if errors else 0


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__.strip().splitlines()[2])
    sys.exit(main(sys.argv[1], sys.argv[2]))
