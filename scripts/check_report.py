#!/usr/bin/env python3
"""Checks a framepick report against the report schema.

usage: check_report.py SCHEMA REPORT

Prints each violation with where it is in the report, and exits with status 1 when there is any.
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


def main(schema_path, report_path):
    with open(schema_path, encoding="utf-8") as schema_file:
        schema = json.load(schema_file)
    Draft202012Validator.check_schema(schema)
    with open(report_path, encoding="utf-8") as report_file:
        report = json.load(report_file)
    errors = list(Draft202012Validator(schema).iter_errors(report))
    for error in errors:
        print("\n".join(describe(error)))
    return 1 if errors else 0


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__.strip().splitlines()[2])
    sys.exit(main(sys.argv[1], sys.argv[2]))
