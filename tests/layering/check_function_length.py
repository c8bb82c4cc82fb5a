#!/usr/bin/env python3
"""Fails on any function longer than a limit (60 lines) in the sources outside tests/.

A function is a brace block, not inside another function, whose head (the
code since the last ';', '{' or '}') holds a parameter list and is not a
namespace, a type, an initializer or a control statement. Its length counts
from the head's first line to its closing brace. Comments, string and
character literals and preprocessor lines are blanked first, so braces in
them do not count.
usage: check_function_length.py SOURCE_DIR [LIMIT]
"""
import pathlib
import re
import sys

SOURCES = ('.cpp', '.h', '.c')
NOT_A_FUNCTION = re.compile(
    r'^(namespace|class|struct|union|enum|extern\s+"C")\b|=$|\b(if|for|while|switch|catch|do|else|try)$')
LITERAL_OR_COMMENT = re.compile(
    r'//[^\n]*|/\*.*?\*/|R"(?P<delim>[^(\s]*)\(.*?\)(?P=delim)"|"(?:\\.|[^"\\\n])*"|(?<![\w\'])\'(?:\\.|[^\'\\\n])*\'',
    re.S)
PREPROCESSOR = re.compile(r'(?m)^[ \t]*#(?:[^\n]*\\\n)*[^\n]*')


def blank(match):
    return re.sub(r'[^\n]', ' ', match.group(0))


def functions(text):
    """(first line, last line, head) of each outermost function in text."""
    text = PREPROCESSOR.sub(blank, LITERAL_OR_COMMENT.sub(blank, text))
    open_blocks = []  # (is a function, first line, head)
    head_start, line, found = 0, 1, []
    for i, c in enumerate(text):
        if c == '\n':
            line += 1
        elif c == '{':
            head = text[head_start:i]
            leading = head[:len(head) - len(head.lstrip())]
            first = line - head.count('\n') + leading.count('\n')
            words = ' '.join(head.split())
            inside_function = any(block[0] for block in open_blocks)
            is_function = not inside_function and ')' in words and not NOT_A_FUNCTION.search(words)
            open_blocks.append((is_function, first, words[:80]))
            head_start = i + 1
        elif c == '}':
            if open_blocks:
                is_function, first, words = open_blocks.pop()
                if is_function:
                    found.append((first, line, words))
            head_start = i + 1
        elif c == ';':
            head_start = i + 1
    return found


def main(root, limit):
    root = pathlib.Path(root)
    faults = []
    for path in sorted(root.rglob('*')):
        relative = path.relative_to(root)
        top = relative.parts[0]
        if top == 'tests' or top.startswith('build') or top.startswith('.') or path.suffix not in SOURCES:
            continue
        for first, last, head in functions(path.read_text(encoding='utf-8', errors='replace')):
            if last - first + 1 > limit:
                faults.append(f'{relative}:{first}: {last - first + 1} lines: {head}')
    for fault in faults:
        print(fault)
    print(f'{len(faults)} function(s) over {limit} lines')
    return 1 if faults else 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1], int(sys.argv[2]) if len(sys.argv) > 2 else 60))
