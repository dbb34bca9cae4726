#!/usr/bin/python3
"""Checks one output of `zirvano-flash ... --json` against the flasher's JSON Schema.

Usage: validate_json.py SCHEMA FILE [DEFINITION]

FILE must hold, in UTF-8, exactly one JSON document ending in a line end, with no key given
twice and no NaN or Infinity, that the schema accepts; with DEFINITION (status, list) it must
be that one of the schema's $defs. Exit status: 0 accepted, 1 refused (the reasons on stderr),
2 wrong usage, a missing module or an unreadable file.
"""
import json
import sys

try:
    import jsonschema
except ImportError:
    print("validate_json.py: the Python module jsonschema is missing "
          "(Debian: python3-jsonschema, scripts/install-deps.sh)", file=sys.stderr)
    sys.exit(2)


class Refused(Exception):
    pass


def without_repeated_keys(pairs):
    keys = [key for key, _ in pairs]
    for key in keys:
        if keys.count(key) > 1:
            raise Refused(f"key {key!r} given twice")
    return dict(pairs)


def no_constant(name):
    raise Refused(f"{name} is no JSON value")


def document_of(path):
    with open(path, "rb") as file:
        raw = file.read()
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError as error:
        raise Refused(f"not UTF-8: {error}")
    if not text.endswith("\n"):
        raise Refused("does not end with a line end")
    try:
        return json.loads(text, object_pairs_hook=without_repeated_keys,
                          parse_constant=no_constant)
    except json.JSONDecodeError as error:
        raise Refused(f"not one JSON document: {error}")


def main(arguments):
    if len(arguments) not in (3, 4):
        print(__doc__, file=sys.stderr)
        return 2
    schema_path, output_path = arguments[1], arguments[2]
    try:
        with open(schema_path, encoding="utf-8") as file:
            schema = json.load(file)
        jsonschema.Draft202012Validator.check_schema(schema)
        if len(arguments) == 4:
            definition = arguments[3]
            if definition not in schema.get("$defs", {}):
                print(f"{schema_path}: no definition {definition!r}", file=sys.stderr)
                return 2
            # The whole schema stays, so that the definition's references resolve.
            schema = dict(schema)
            del schema["oneOf"]
            schema["$ref"] = "#/$defs/" + definition
        document = document_of(output_path)
    except OSError as error:
        print(f"validate_json.py: {error}", file=sys.stderr)
        return 2
    except Refused as error:
        print(f"{output_path}: {error}", file=sys.stderr)
        return 1

    validator = jsonschema.Draft202012Validator(schema)
    errors = sorted(validator.iter_errors(document), key=lambda e: list(e.absolute_path))
    for error in errors:
        where = "/".join(str(part) for part in error.absolute_path) or "(document)"
        print(f"{output_path}: {where}: {error.message}", file=sys.stderr)
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
