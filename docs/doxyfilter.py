#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Doxygen input filter for the public headers.

The headers document each declaration with plain // comments on the line after it (or at the end
of its line), and each class with the comment block before it. This filter rewrites them into
Doxygen's forms on the fly, so the headers keep their house style: a comment that follows code
documents that code (///<), a comment after a blank line documents what follows it (///), and
the comment that opens the file describes the file (@file).
"""
import re
import sys

TRAILING = re.compile(r'^(\s*[^/"\s][^"]*?[;{}),])(\s*)//(?!/)(.*)$')


def convert(lines):
    out = []
    after_code = False  # the last line that was not a comment was a declaration
    seen_code = False
    in_file_comment = False
    for line in lines:
        stripped = line.strip()
        indent = line[: len(line) - len(line.lstrip())]
        if stripped.startswith('//') and not stripped.startswith('///'):
            text = stripped[2:]
            if not seen_code and not out:
                out.append('/// @file' + '\n' + indent + '///' + text)
                in_file_comment = True
            elif in_file_comment or not after_code:
                out.append(indent + '///' + text)
            else:
                out.append(indent + '///<' + text)
            continue
        in_file_comment = False
        match = TRAILING.match(line)
        if match:
            line = match.group(1) + match.group(2) + '///<' + match.group(3)
        out.append(line)
        if stripped.startswith('#'):
            seen_code = True
        is_code = bool(stripped) and not stripped.startswith('#') and stripped not in (
            'public:', 'private:', 'protected:')
        after_code = is_code
        seen_code = seen_code or is_code
    return out


with open(sys.argv[1], encoding='utf-8') as source:
    sys.stdout.write('\n'.join(convert(source.read().split('\n'))))
