# Copies SRC to DST unless DST already exists (an operator's edited settings file stays).
if(NOT EXISTS "${DST}")
    configure_file("${SRC}" "${DST}" COPYONLY)
endif()
