#!/bin/sh
# One of the docs as a page a Windows user opens: Markdown to HTML (cmark-gfm,
# with tables), headings given the ids GitHub gives them so that links to
# "#a-heading" work, links to the other docs pointed at their pages.
#   win32/html_doc.sh IN.md OUT.html
set -eu
body=$(cmark-gfm -e table -e autolink "$1" | perl -pe '
  s{<h([1-6])>(.*?)</h\1>}{
    my ($n, $text) = ($1, $2);
    (my $id = lc $text) =~ s/<[^>]*>//g;
    $id =~ s/&[a-z]+;//g; $id =~ s/[^\w\- ]//g; $id =~ s/ /-/g;
    "<h$n id=\"$id\">$text</h$n>"
  }ge;
  s{href="([\w\-]+)\.md(#[^"]*)?"}{href="$1.html$2"}g;')
title=$(printf '%s\n' "$body" | sed -n 's/^<h1[^>]*>\(.*\)<\/h1>$/\1/p' | sed 's/<[^>]*>//g' | head -1)
{
  printf '<!DOCTYPE html>\n<html lang="en">\n<head>\n<meta charset="utf-8">\n<title>%s</title>\n' "$title"
  printf '<style>body{font-family:sans-serif;max-width:50em;margin:2em auto;padding:0 1em;line-height:1.4}'
  printf 'code,pre{font-family:Consolas,monospace}pre{background:#f4f4f4;padding:.5em;overflow:auto}'
  printf 'table{border-collapse:collapse}td,th{border:1px solid #ccc;padding:.2em .5em;text-align:left}</style>\n'
  printf '</head>\n<body>\n%s\n</body>\n</html>\n' "$body"
} >"$2"
