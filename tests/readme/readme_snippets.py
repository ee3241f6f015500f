"""The snippets of the README as a reader copies them: fenced blocks by
their language, indented blocks as shell commands, each with the section
(## or ### heading) it stands in.

    python3 readme_snippets.py README.md SECTION KIND [N]

prints the Nth (default first) block of KIND (c, python, cmake, shell) in
the section whose heading starts with SECTION, for scripts that use one.
"""

from __future__ import annotations

import dataclasses
import sys


@dataclasses.dataclass
class Block:
    section: str  # the heading's text, without the #s
    kind: str     # the fence's language, or "shell" for an indented block
    text: str     # the lines, indentation removed, each ending in a newline
    line: int     # where it starts in the README, from 1

    def transcript(self) -> list[tuple[str, list[str]]]:
        """Each command with the output lines the README shows under it: a
        block of "$ command" lines with their output, or else a block of
        commands whose output is not shown."""
        lines = self.text.splitlines()
        if not any(line.startswith("$ ") for line in lines):
            return [(line, []) for line in lines]
        steps: list[tuple[str, list[str]]] = []
        for line in lines:
            if line.startswith("$ "):
                steps.append((line[2:], []))
            elif steps:
                steps[-1][1].append(line)
        return steps


def blocks(text: str) -> list[Block]:
    found: list[Block] = []
    section = ""
    lines = text.splitlines()
    i = 0
    while i < len(lines):
        line = lines[i]
        if line.startswith("```"):
            kind = line[3:].strip() or "text"
            start = i
            body = []
            i += 1
            while i < len(lines) and not lines[i].startswith("```"):
                body.append(lines[i] + "\n")
                i += 1
            found.append(Block(section, kind, "".join(body), start + 1))
        elif line.startswith("#"):
            section = line.lstrip("#").strip()
        elif line.startswith("    ") and (i == 0 or not lines[i - 1].strip()):
            start = i
            body = []
            while i < len(lines) and (lines[i].startswith("    ") or not lines[i].strip()):
                body.append(lines[i][4:] + "\n")
                i += 1
            while body and not body[-1].strip():
                body.pop()
            found.append(Block(section, "shell", "".join(body), start + 1))
            continue
        i += 1
    return found


def in_section(found: list[Block], section: str, kind: str | None = None) -> list[Block]:
    """The blocks of the section whose heading starts with `section`."""
    return [block for block in found
            if block.section.startswith(section) and (kind is None or block.kind == kind)]


def main(argv: list[str]) -> int:
    if len(argv) not in (4, 5):
        print(__doc__, file=sys.stderr)
        return 2
    with open(argv[1], encoding="utf-8") as readme:
        chosen = in_section(blocks(readme.read()), argv[2], argv[3])
    index = int(argv[4]) if len(argv) == 5 else 0
    if index >= len(chosen):
        print(f"no {argv[3]} block {index} in the section {argv[2]!r}", file=sys.stderr)
        return 1
    sys.stdout.write(chosen[index].text)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
