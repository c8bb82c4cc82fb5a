#!/usr/bin/env python3
"""Renders a Home Assistant value template for one MQTT payload with Jinja2,
the engine Home Assistant's templates use, in its sandbox: value_json is the
payload parsed as JSON, value the payload itself.

Usage: render_value_template.py TEMPLATE PAYLOAD; prints what it renders."""
import json
import sys

from jinja2.sandbox import ImmutableSandboxedEnvironment


def main() -> int:
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        return 64
    template, payload = sys.argv[1], sys.argv[2]
    environment = ImmutableSandboxedEnvironment()
    rendered = environment.from_string(template).render(value=payload, value_json=json.loads(payload))
    sys.stdout.write(rendered)
    return 0


if __name__ == "__main__":
    sys.exit(main())
