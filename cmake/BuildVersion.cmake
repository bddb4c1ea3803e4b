# Writes BuildVersion.h with the project version and the commit the tree was built from; run at
# every build, the file only changes (and triggers a rebuild) when the commit does.
execute_process(COMMAND git -C "${SOURCE_DIR}" describe --always --dirty --abbrev=12
                OUTPUT_VARIABLE commit OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE failed)
if(failed OR commit STREQUAL "")
  set(commit "unknown")
endif()
file(WRITE "${OUTPUT}.tmp"
  "#pragma once\n#define WEBGATED_VERSION \"${VERSION}\"\n#define WEBGATED_COMMIT \"${commit}\"\n")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
