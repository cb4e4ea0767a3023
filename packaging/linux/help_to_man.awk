# Turns the --help texts of rawlift into the roff source of rawlift(1).
#
# Input (assembled by make_manpage.sh): a line "@@usage" followed by the
# output of `rawlift --help`, then for each command a line "@@command NAME"
# followed by the output of `rawlift NAME --help`.
# Variables: version (the project's), docdir (where the README is installed,
# absolute or relative to the installation prefix).
#
# The help texts share one layout, which is all this relies on:
#   - the first line "Usage: rawlift ...", more usage lines indented below it;
#   - paragraphs start in column 0 and end at an empty line, a heading or an
#     indented line;
#   - a heading is a column-0 line ending in ":" followed by indented lines;
#   - an indented list has its items at one indentation, each "TERM  TEXT"
#     (two spaces or more, or the column of the list's continuation lines,
#     end the term), continuation lines deeper;
#   - a paragraph starting "Exit status:" gives the command's exit codes.
# A paragraph that several commands print (the list of camera files) is shown
# once, under DESCRIPTION. Written for any POSIX awk (Debian's default is mawk).

BEGIN {
  section = ""
  line_count = 0
  command_count = 0
}

/^@@usage$/ { section = "usage"; next }
/^@@command / {
  section = "command"
  command_count++
  command_name[command_count] = substr($0, 11)
  command_first[command_count] = line_count + 1
  command_last[command_count] = line_count
  next
}
section == "usage" { usage_line[++usage_count] = $0; next }
section == "command" {
  text[++line_count] = $0
  command_last[command_count] = line_count
  next
}

# --- roff helpers ---------------------------------------------------------

# Escapes a fragment of text for roff: backslashes print as such, and a
# hyphen that starts a word (an option such as --save) becomes the minus
# sign, so that it can be copied from the rendered page. With all_hyphens,
# every hyphen does (inside option names).
function escape_roff(s, all_hyphens,    out, i, c, prev) {
  out = ""
  prev = " "
  for (i = 1; i <= length(s); i++) {
    c = substr(s, i, 1)
    if (c == "\\") {
      out = out "\\e"
    } else if (c == "-" && (all_hyphens || index(" [(|,=-", prev) > 0)) {
      out = out "\\-"
    } else {
      out = out c
    }
    prev = c
  }
  return out
}

# A text line as roff reads it: a leading dot or apostrophe would be taken
# as a request, and leading spaces would break the filled line.
function text_line(s) {
  sub(/^[ ]+/, "", s)
  s = escape_roff(s, 0)
  if (s ~ /^[.']/) s = "\\&" s
  return s
}

# One word of a synopsis or a list term: options and command words in bold,
# placeholders (OUT, PATH...) in italics, brackets and punctuation plain.
# Words inside parentheses stay plain.
function format_word(word,    lead, trail, core, parts, n, i, out) {
  lead = ""
  trail = ""
  while (word != "" && index("[(", substr(word, 1, 1)) > 0) {
    lead = lead substr(word, 1, 1)
    word = substr(word, 2)
  }
  while (word != "" && index("])|,;", substr(word, length(word), 1)) > 0) {
    trail = substr(word, length(word), 1) trail
    word = substr(word, 1, length(word) - 1)
  }
  if (word ~ /\.\.\.$/) {
    trail = "..." trail
    word = substr(word, 1, length(word) - 3)
  }
  core = word
  if (index(core, "|") > 0) {
    n = split(core, parts, "|")
    out = ""
    for (i = 1; i <= n; i++) out = out (i > 1 ? "|" : "") format_word(parts[i])
    return escape_roff(lead, 0) out escape_roff(trail, 0)
  }
  if (core == "") {
    out = ""
  } else if (core ~ /^-/ && index(core, "=") > 0) {
    out = "\\fB" escape_roff(substr(core, 1, index(core, "=") - 1), 1) "\\fR=" \
          format_word(substr(core, index(core, "=") + 1))
  } else if (core ~ /^-/) {
    out = "\\fB" escape_roff(core, 1) "\\fR"
  } else if (core ~ /^[A-Z][A-Z0-9_]*$/) {
    out = "\\fI" escape_roff(core, 0) "\\fR"
  } else if (core ~ /^[a-z0-9_]/ && paren_depth == 0) {
    out = "\\fB" escape_roff(core, 0) "\\fR"
  } else {
    out = escape_roff(core, 0)
  }
  return escape_roff(lead, 0) out escape_roff(trail, 0)
}

function format_words(s,    n, words, i, out, w) {
  sub(/^[ ]+/, "", s)
  sub(/[ ]+$/, "", s)
  n = split(s, words, /[ ]+/)
  out = ""
  paren_depth = 0
  for (i = 1; i <= n; i++) {
    w = words[i]
    if (substr(w, 1, 1) == "(") paren_depth++
    out = out (i > 1 ? " " : "") format_word(w)
    if (substr(w, length(w), 1) == ")" && paren_depth > 0) paren_depth--
  }
  if (out ~ /^[.']/) out = "\\&" out
  return out
}

function indent_of(s) {
  match(s, /^[ ]*/)
  return RLENGTH
}

function normalized(s) {
  gsub(/[ ]+/, " ", s)
  sub(/^ /, "", s)
  sub(/ $/, "", s)
  return s
}

# --- parsing a command's help into elements -------------------------------
# element_kind[c, k]: "usage", "para", "heading" or "item"; element_text[c, k]
# the lines joined by "\n" (for an item: its text); element_term[c, k];
# element_width[c, k]: the item's term column width (0: roff's default).

function add_element(c, kind) {
  element_count[c]++
  element_kind[c, element_count[c]] = kind
  element_text[c, element_count[c]] = ""
  element_term[c, element_count[c]] = ""
  element_width[c, element_count[c]] = 0
  return element_count[c]
}

function append_text(c, k, s) {
  element_text[c, k] = element_text[c, k] (element_text[c, k] == "" ? "" : "\n") s
}

# The column where the texts of a list start: the smallest indentation,
# deeper than the items', of the list's lines from i on; in a list without
# continuation lines, the furthest column where an item's text starts after
# its term (two spaces or more).
function text_column(i, last, item_indent,    column, n, widest, rest) {
  column = 0
  widest = 0
  for (; i <= last && text[i] ~ /^[ ]/; i++) {
    n = indent_of(text[i])
    if (n > item_indent && (column == 0 || n < column)) column = n
    rest = substr(text[i], n + 1)
    if (n == item_indent && match(rest, /[ ][ ]+/) && n + RSTART + RLENGTH - 1 > widest) {
      widest = n + RSTART + RLENGTH - 1
    }
  }
  return column > 0 ? column : widest
}

function parse_command(c,    i, first, last, line, k, mode, item_indent, column, rest, split_at,
                       at_column) {
  first = command_first[c]
  last = command_last[c]
  mode = "usage"
  k = 0
  for (i = first; i <= last; i++) {
    line = text[i]
    if (line ~ /^[ ]*$/) {
      mode = "none"
      continue
    }
    if (mode == "usage" && (i == first || line ~ /^[ ]/)) {
      if (i == first) {
        k = add_element(c, "usage")
        sub(/^Usage:[ ]*/, "", line)
      }
      append_text(c, k, normalized(line))
      continue
    }
    if (line ~ /^[^ ]/) {
      if (line ~ /:$/ && i < last && text[i + 1] ~ /^[ ]/) {
        k = add_element(c, "heading")
        append_text(c, k, line)
        mode = "list"
        item_indent = indent_of(text[i + 1])
        column = text_column(i + 1, last, item_indent)
      } else if (mode == "para") {
        append_text(c, k, line)
      } else {
        k = add_element(c, "para")
        append_text(c, k, line)
        mode = "para"
      }
      continue
    }
    # An indented line: an item, or the continuation of one.
    if (mode != "list") {
      mode = "list"
      item_indent = indent_of(line)
      column = text_column(i, last, item_indent)
    }
    if (indent_of(line) < item_indent) {
      item_indent = indent_of(line)
      column = text_column(i, last, item_indent)
    }
    if (indent_of(line) > item_indent && element_kind[c, k] == "item") {
      append_text(c, k, line)
      continue
    }
    k = add_element(c, "item")
    rest = substr(line, item_indent + 1)
    # The term ends at two spaces or more, unless those lie beyond the
    # list's text column and a single space ends it there.
    at_column = column > 0 && length(line) > column && substr(line, column, 1) == " " &&
                substr(line, column + 1, 1) != " "
    if (match(rest, /[ ][ ]+/) && !(at_column && item_indent + RSTART > column)) {
      element_term[c, k] = substr(rest, 1, RSTART - 1)
      append_text(c, k, substr(rest, RSTART + RLENGTH))
    } else if (at_column) {
      split_at = column - item_indent
      element_term[c, k] = substr(rest, 1, split_at)
      sub(/[ ]+$/, "", element_term[c, k])
      append_text(c, k, substr(rest, split_at + 1))
    } else {
      element_term[c, k] = rest
    }
    if (column > item_indent) element_width[c, k] = column - item_indent
  }
}

function paragraph_key(c, k) {
  return normalized(element_text[c, k])
}

function is_exit_status(c, k) {
  return element_kind[c, k] == "para" && element_text[c, k] ~ /^Exit status:/
}

function print_lines(s,    n, parts, i) {
  n = split(s, parts, "\n")
  for (i = 1; i <= n; i++) print text_line(parts[i])
}

# --- output ------------------------------------------------------------------

END {
  # The commands, from the usage text's "Commands:" list.
  listing = 0
  for (i = 1; i <= usage_count; i++) {
    line = usage_line[i]
    if (line == "Commands:") { listing = 1; continue }
    if (listing && line ~ /^[ ]+[a-z][a-z0-9-]*[ ]+[^ ]/) {
      name = line
      sub(/^[ ]+/, "", name)
      summary = name
      sub(/[ ].*$/, "", name)
      sub(/^[^ ]+[ ]+/, "", summary)
      summary_of[name] = summary
      continue
    }
    if (listing && line ~ /^[ ]*$/) { listing = 2; continue }
    if (line ~ /^Usage:/) {
      main_usage = line
      sub(/^Usage:[ ]*/, "", main_usage)
      continue
    }
    if (listing == 2) usage_notes = usage_notes (usage_notes == "" ? "" : "\n") line
  }

  for (c = 1; c <= command_count; c++) {
    parse_command(c)
    for (k = 1; k <= element_count[c]; k++) {
      if (element_kind[c, k] != "para" || is_exit_status(c, k)) continue
      key = paragraph_key(c, k)
      if (!((c, key) in seen_in)) {
        seen_in[c, key] = 1
        shared_count[key]++
        if (shared_count[key] == 2) shared_text[++shared_total] = element_text[c, k]
      }
    }
  }

  print ".\\\" Generated from the --help texts of rawlift by packaging/linux/make_manpage.sh;"
  print ".\\\" edit those texts, not this file."
  print ".TH RAWLIFT 1 \"\" \"rawlift " version "\" \"User Commands\""
  # No hyphenation: option and file names stay whole, to be copied as they are.
  print ".nh"
  print ".SH NAME"
  print "rawlift \\- extract the embedded JPEG previews of camera RAW files"

  print ".SH SYNOPSIS"
  print format_words(main_usage)
  for (c = 1; c <= command_count; c++) {
    for (k = 1; k <= element_count[c]; k++) {
      if (element_kind[c, k] != "usage") continue
      n = split(element_text[c, k], parts, "\n")
      for (i = 1; i <= n; i++) {
        print ".br"
        print format_words(parts[i])
      }
    }
  }
  print ".br"
  print format_words("rawlift --help|--version")

  print ".SH DESCRIPTION"
  print "\\fBrawlift\\fR writes the full-size JPEG that a camera embedded in a RAW"
  print "file into the folder \\fIextracted_jpegs\\fR beside it. It reads the"
  print "file's container only: the raw image data is never decoded and the JPEG"
  print "is copied as stored, with an Exif header added when it has none."
  if (usage_notes != "") {
    print ".PP"
    print_lines(usage_notes)
  }
  for (s = 1; s <= shared_total; s++) {
    print ".PP"
    print_lines(shared_text[s])
  }

  print ".SH COMMANDS"
  for (c = 1; c <= command_count; c++) {
    name = command_name[c]
    print ".SS " name
    in_list = 0
    if (name in summary_of) {
      print ".PP"
      print text_line(toupper(substr(summary_of[name], 1, 1)) substr(summary_of[name], 2) ".")
    }
    for (k = 1; k <= element_count[c]; k++) {
      kind = element_kind[c, k]
      # Lists are set without space between their items, as in --help.
      if (in_list && kind != "item") {
        print ".PD"
        in_list = 0
      }
      if (kind == "usage") {
        n = split(element_text[c, k], parts, "\n")
        print ".PP"
        for (i = 1; i <= n; i++) {
          if (i > 1) print ".br"
          print format_words(parts[i])
        }
      } else if (kind == "para") {
        if (is_exit_status(c, k)) {
          exit_status[c] = element_text[c, k]
          sub(/^Exit status:[ ]*/, "", exit_status[c])
          continue
        }
        if (shared_count[paragraph_key(c, k)] > 1) continue
        print ".PP"
        print_lines(element_text[c, k])
      } else if (kind == "heading") {
        print ".PP"
        print "\\fB" text_line(element_text[c, k]) "\\fR"
      } else if (kind == "item") {
        if (!in_list) print ".PD 0"
        in_list = 1
        width = element_width[c, k]
        print ".TP" (width > 0 ? " " width : "")
        print format_words(element_term[c, k])
        if (element_text[c, k] != "") print_lines(element_text[c, k])
      }
    }
    if (in_list) print ".PD"
  }

  print ".SH FILES"
  print ".TP"
  print "\\fIextracted_jpegs\\fR/"
  print "The folder beside each RAW file where its previews are written."
  print ".TP"
  print "\\fIextracted_jpegs_WIDTH\\fR/"
  print "The folder of the smaller copies (\\fB\\-\\-smaller\\fR), named after the"
  print "maximum width."
  print ".TP"
  print "\\fI$XDG_CONFIG_HOME/Corvane/RLFT/RLFT.cfg\\fR"
  print "The stored settings (see \\fBrawlift settings\\fR);"
  print "\\fI~/.config/Corvane/RLFT/RLFT.cfg\\fR when \\fBXDG_CONFIG_HOME\\fR is unset or"
  print "not an absolute path. The Windows Explorer extension keeps the same file"
  print "in \\fI%APPDATA%\\e\\&Corvane\\e\\&RLFT\\fR."
  if (docdir != "") {
    # A relative folder lies below the installation prefix, which is not
    # known at build time (the package installs below /usr).
    print ".TP"
    print "\\fI" (docdir ~ /^\// ? "" : "PREFIX/") escape_roff(docdir, 0) "/README.md\\fR"
    print "The formats read, how the previews are chosen and named, the metadata"
    print "written, and the settings file's layout" (docdir ~ /^\// ? "." : " (PREFIX is /usr for the\nDebian package).")
  }

  print ".SH \"EXIT STATUS\""
  for (c = 1; c <= command_count; c++) {
    if (!(c in exit_status)) continue
    print ".TP"
    print format_words("rawlift " command_name[c])
    print_lines(exit_status[c])
  }
  print ".TP"
  print format_words("rawlift --help|--version")
  print "0."
  print ".TP"
  print "\\fBrawlift\\fR without a command, or with an unknown one"
  print "2, after the usage text on standard error."

  print ".SH \"SEE ALSO\""
  print ".BR exiftool (1),"
  print ".BR exiv2 (1)"
}
