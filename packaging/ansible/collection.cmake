# cmake -DGALAXY=ansible-galaxy -DSOURCE=<collection folder> -DSTAGE=<folder> -DVERSION=...
#       -DOUT_DIR=<folder> -P collection.cmake
# Builds the collection's tarball with the project's version: a copy of the collection gets the
# version in its galaxy.yml, and ansible-galaxy builds the copy.
file(REMOVE_RECURSE ${STAGE})
file(COPY ${SOURCE}/ DESTINATION ${STAGE}
     PATTERN __pycache__ EXCLUDE PATTERN "*.tar.gz" EXCLUDE REGEX "/tests/output$" EXCLUDE)
file(READ ${STAGE}/galaxy.yml galaxy)
string(REGEX REPLACE "\nversion:[^\n]*" "\nversion: ${VERSION}" galaxy "\n${galaxy}")
string(SUBSTRING "${galaxy}" 1 -1 galaxy)
file(WRITE ${STAGE}/galaxy.yml "${galaxy}")
file(MAKE_DIRECTORY ${OUT_DIR})
execute_process(COMMAND ${GALAXY} collection build --force --output-path ${OUT_DIR} ${STAGE}
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "ansible-galaxy collection build failed")
endif()
