#!/usr/bin/env bash
# Writes the man page (roff) of a program from its --help, and from each subcommand's --help
# when the program lists "commands:"; the build runs it, so the page follows the program.
#   scripts/manpage.sh PROGRAM "SUMMARY" > NAME.1
set -euo pipefail
program=$1
summary=$2
name=$(basename "$program")
# Plain text in no-fill blocks: backslashes and leading dots or quotes must not be taken as roff.
escape() { sed -e 's/\\/\\e/g' -e 's/^\./\\\&./' -e "s/^'/\\\\\&'/" -e 's/-/\\-/g'; }
help=$("$program" --help)
echo ".TH \"${name^^}\" 1 \"\" \"Tessaro\" \"User Commands\""
echo ".SH NAME"
echo "$name \\- $summary"
echo ".SH DESCRIPTION"
echo ".nf"
"$program" --help | escape
echo ".fi"
for command in $(printf '%s\n' "$help" | awk '/^commands:/ { listed = 1; next } listed && /^  / { print $1 } listed && /^$/ { exit }'); do
  echo ".SH \"${name^^} ${command^^}\""
  echo ".nf"
  "$program" "$command" --help | escape
  echo ".fi"
done
