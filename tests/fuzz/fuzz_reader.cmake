# The NF-e reader over arbitrary bytes, under both decimal separators and sVirgula values.
quarvel_fuzzer(fuzz_reader
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_reader.cpp
  LIBS quarvel_intake)
