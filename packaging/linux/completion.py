#!/usr/bin/env python3
"""Writes the bash completion of a program whose command line is CLI11's, from its --help and
the --help of each of its commands.

    completion.py PROGRAM NAME OUTPUT

It completes the commands, each command's options, file names after an option whose value is a
file (its value is named F, FILE or ...-FILE in the help), and host names where a command takes
hosts.
"""

import re
import subprocess
import sys

SECTION = re.compile(r"^([A-Z][A-Za-z ]*):$")
OPTION = re.compile(r"^  (-[^ ]+)(?: ([^ ]+))?")
ENTRY = re.compile(r"^  ([a-z][a-z0-9-]*)\s")
FILE_VALUES = re.compile(r"^(F|FILE|[A-Z]+-FILE|[A-Z]+FILE)(\.\.\.)?$")


def parse(text):
    """The options (and those that take a value, and of them those that take a file), the
    commands and whether positional arguments are taken, from one CLI11 help text."""
    options, values, files, commands = [], [], [], []
    positionals = False
    section = None
    for line in text.splitlines():
        heading = SECTION.match(line.strip()) if not line.startswith(" ") else None
        if heading:
            section = heading.group(1).lower()
            continue
        if section == "options":
            option = OPTION.match(line)
            if option:
                names = option.group(1).split(",")
                options += names
                value = option.group(2)
                # "--verify-reboot [=S]": a value that may be left out is not asked for.
                if value and not value.startswith(("-", "[")):
                    values += names
                    if FILE_VALUES.match(value):
                        files += names
        elif section == "subcommands":
            entry = ENTRY.match(line)
            if entry:
                commands.append(entry.group(1))
        elif section == "positionals" and ENTRY.match(line.lower()):
            positionals = True
    return {"options": options, "values": values, "files": files, "commands": commands,
            "positionals": positionals}


def help_text(program, *command):
    completed = subprocess.run([program, *command, "--help"], capture_output=True, text=True,
                               timeout=60, check=False)
    if completed.returncode != 0:
        raise SystemExit("%s %s --help exited with %d" % (program, " ".join(command),
                                                          completed.returncode))
    return completed.stdout


def words(items):
    return " ".join(items)


def case_arm(label, spec):
    return ('        %s)\n'
            '            options="%s"\n'
            '            values="%s"\n'
            '            files="%s"\n'
            '            hosts=%d\n'
            '            ;;\n') % (label, words(spec["options"]), words(spec["values"]),
                                   words(spec["files"]), 1 if spec["positionals"] else 0)


def script(name, top, commands):
    function = "_" + re.sub(r"[^A-Za-z0-9]", "_", name)
    arms = case_arm('""', top) + "".join(case_arm(c, s) for c, s in commands.items())
    return """# bash completion of %(name)s, written from its --help.
%(function)s() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
    # "--port=69" reaches completion as "--port" "=" "69".
    if [[ $cur == "=" ]]; then
        cur=""
    elif [[ $prev == "=" && $COMP_CWORD -ge 2 ]]; then
        prev=${COMP_WORDS[COMP_CWORD-2]}
    fi
    local command="" i
    for ((i = 1; i < COMP_CWORD; i++)); do
        case ${COMP_WORDS[i]} in
            -* | "=") ;;
            *)
                [[ " %(commands)s " == *" ${COMP_WORDS[i]} "* ]] && command=${COMP_WORDS[i]}
                break
                ;;
        esac
    done
    local options values files hosts
    case $command in
%(arms)s    esac
    COMPREPLY=()
    if [[ " $files " == *" $prev "* ]]; then
        compopt -o filenames 2>/dev/null
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
    elif [[ " $values " == *" $prev "* ]]; then
        return 0
    elif [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$options" -- "$cur")
    elif [[ -z $command && -n "%(commands)s" ]]; then
        mapfile -t COMPREPLY < <(compgen -W "%(commands)s" -- "$cur")
    elif [[ $hosts == 1 ]]; then
        mapfile -t COMPREPLY < <(compgen -A hostname -- "$cur")
    fi
    return 0
}
complete -F %(function)s %(name)s
""" % {"name": name, "function": function, "commands": words(commands), "arms": arms}


def main(argv):
    if len(argv) != 4:
        sys.stderr.write(__doc__)
        return 2
    program, name, output = argv[1:]
    top = parse(help_text(program))
    commands = {c: parse(help_text(program, c)) for c in top["commands"]}
    with open(output, "w", encoding="utf-8") as f:
        f.write(script(name, top, commands))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
