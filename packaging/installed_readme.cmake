# The README as installed beside the references. install(CODE) includes this with
# CVN_README (the source's README.md), CVN_DOCDIR (where it goes, under the
# prefix) and CVN_EXAMPLES (the installed examples). It is written straight to
# its place: two installs at once (the package's and another) share no file.
# What only a clone of the repository has (building, testing, its layout) is left
# out, the links point to the files beside it, and the commands use the installed
# programs and examples.
cmake_policy(VERSION 3.19)
file(READ "${CVN_README}" text)
set(kept "")
set(rest "${text}")
while(TRUE)
  string(FIND "${rest}" "<!-- clone only -->" start)
  if(start EQUAL -1)
    string(APPEND kept "${rest}")
    break()
  endif()
  string(SUBSTRING "${rest}" 0 ${start} before)
  string(APPEND kept "${before}")
  string(FIND "${rest}" "<!-- end clone only -->" end)
  if(end EQUAL -1)
    message(FATAL_ERROR "${CVN_README}: a clone-only block without its end")
  endif()
  math(EXPR after "${end} + 23")
  string(SUBSTRING "${rest}" ${after} -1 rest)
  string(REGEX REPLACE "^\n+" "" rest "${rest}")
endwhile()
string(REPLACE "[docs/" "[" kept "${kept}")
string(REPLACE "](docs/" "](" kept "${kept}")
string(REPLACE "[LICENSE](LICENSE)" "[copyright](copyright)" kept "${kept}")
string(REGEX REPLACE "build/(tavrel|gcsim|ccf2sendir)" "\\1" kept "${kept}")
string(REGEX REPLACE "([ `(])examples/" "\\1${CVN_EXAMPLES}/" kept "${kept}")
set(out "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${CVN_DOCDIR}/README.md")
message(STATUS "Installing: ${out}")
file(WRITE "${out}" "${kept}")
