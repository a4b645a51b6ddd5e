# Writes OUTPUT, the SHA-256 of FILE in the form `sha256sum -c` reads, under
# NAME, the file's name as players have it: the program built here may bear
# another (camera-patch-static), and players check their copy in their own
# folder.
#
#   cmake -DFILE=... -DNAME=... -DOUTPUT=... -P sha256sum.cmake
file(SHA256 "${FILE}" sha256)
file(WRITE "${OUTPUT}" "${sha256}  ${NAME}\n")
