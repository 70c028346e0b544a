# Writes the winget manifest of the executable as built: its SHA-256 (after signing, when the
# build signs), the project version and the release's settings go into the templates of
# packaging/winget/. -DEXE= -DVERSION= -DSETTINGS=<file written by add_winget_manifest> -DTEMPLATES= -DOUT=
include(${SETTINGS})
file(SHA256 ${EXE} hash)
string(TOUPPER ${hash} INSTALLER_SHA256)
set(PACKAGE_VERSION ${VERSION})

# A YAML double-quoted scalar: a copyright's ": " or " #" stays text.
function(yaml_quoted out value)
  if(value STREQUAL "")
    set(${out} "" PARENT_SCOPE)
    return()
  endif()
  string(REPLACE "\\" "\\\\" value "${value}")
  string(REPLACE "\"" "\\\"" value "${value}")
  set(${out} "\"${value}\"" PARENT_SCOPE)
endfunction()
yaml_quoted(INSTALLER_URL "${WINGET_URL}")
yaml_quoted(PUBLISHER_URL "${WINGET_PUBLISHER_URL}")
yaml_quoted(PACKAGE_URL "${WINGET_PACKAGE_URL}")
yaml_quoted(LICENSE_URL "${WINGET_LICENSE_URL}")
yaml_quoted(COPYRIGHT "${WINGET_COPYRIGHT}")
set(RELEASE_DATE "${WINGET_RELEASE_DATE}")
set(MANIFEST_VERSION "${WINGET_MANIFEST_VERSION}")

file(GLOB templates ${TEMPLATES}/*.yaml.in)
file(REMOVE_RECURSE ${OUT})
foreach(template ${templates})
  get_filename_component(name ${template} NAME)
  string(REGEX REPLACE "\\.in$" "" name ${name})
  file(READ ${template} text)
  string(CONFIGURE "${text}" text @ONLY)
  # Optional fields that were not set are left out, not written empty.
  foreach(key ReleaseDate PublisherUrl PackageUrl LicenseUrl Copyright)
    string(REPLACE "\n${key}: \n" "\n" text "${text}")
  endforeach()
  file(WRITE ${OUT}/${name} "${text}")
endforeach()
