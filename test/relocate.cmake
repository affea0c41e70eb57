# Copies the Java sources under a package prefix: package and import lines, and every
# fully qualified reference to the library's own packages.
file(GLOB_RECURSE sources RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/*.java)
string(REPLACE "." "/" prefix_path ${PREFIX})
foreach(source ${sources})
  file(READ ${SOURCE_DIR}/${source} text)
  string(REGEX REPLACE "([^.A-Za-z0-9_])io\\.quarn\\." "\\1${PREFIX}.io.quarn." text "${text}")
  file(WRITE ${OUTPUT_DIR}/${prefix_path}/${source} "${text}")
endforeach()
