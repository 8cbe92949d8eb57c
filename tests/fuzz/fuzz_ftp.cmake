# The FTP reply reading (lines, codes, multi-line replies), PASV addresses and listing data
# over arbitrary server bytes.
quarvel_fuzzer(fuzz_ftp_reply
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_ftp_reply.cpp ${CMAKE_SOURCE_DIR}/remote/FtpReply.cpp
  LIBS Qt6::Core)
target_include_directories(fuzz_ftp_reply PRIVATE ${CMAKE_SOURCE_DIR}/remote)
