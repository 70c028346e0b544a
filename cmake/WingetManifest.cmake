# Writes the winget manifest of the executable as built: its SHA-256 (after signing, when the
# build signs) and the project version go into the templates of packaging/winget/.
# -DEXE= -DVERSION= -DURL= -DTEMPLATES= -DOUT=
file(SHA256 ${EXE} hash)
string(TOUPPER ${hash} INSTALLER_SHA256)
set(PACKAGE_VERSION ${VERSION})
set(INSTALLER_URL ${URL})
file(GLOB templates ${TEMPLATES}/*.yaml.in)
file(REMOVE_RECURSE ${OUT})
foreach(template ${templates})
  get_filename_component(name ${template} NAME)
  string(REGEX REPLACE "\\.in$" "" name ${name})
  configure_file(${template} ${OUT}/${name} @ONLY NEWLINE_STYLE LF)
endforeach()
