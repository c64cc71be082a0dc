# cmake -P: the Debian package's changelog entry for this build's version.
#   -DIN= -DVERSION_FILE= -DOUT=
file(STRINGS ${VERSION_FILE} LOADPOST_FULL_VERSION LIMIT_COUNT 1)
# The time of the build (SOURCE_DATE_EPOCH when set), in Debian's format.
string(TIMESTAMP LOADPOST_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${IN} ${OUT} @ONLY)
