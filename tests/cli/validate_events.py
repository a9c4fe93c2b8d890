#!/usr/bin/python3
"""Checks vestrel-cli --json output against the events schema: every line is one event the
schema accepts, and the last line is the result. Usage: validate_events.py SCHEMA OUTPUT"""
import json
import sys

import jsonschema


def main() -> int:
    with open(sys.argv[1], encoding="utf-8") as schema_file:
        validator = jsonschema.Draft202012Validator(json.load(schema_file))
    with open(sys.argv[2], encoding="utf-8") as output:
        lines = output.read().splitlines()
    if not lines:
        print("no events")
        return 1
    for number, line in enumerate(lines, 1):
        errors = list(validator.iter_errors(json.loads(line)))
        for error in errors:
            print(f"line {number}: {error.message}: {line}")
        if errors:
            return 1
    if json.loads(lines[-1])["event"] != "result":
        print(f"the last line is not the result: {lines[-1]}")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
