# ConcatFiles.cmake - writes OUTPUT as the files of PARTS ("|"-separated), one
# after the other, each ended by a line break. Run with cmake -P.
string(REPLACE "|" ";" parts "${PARTS}")
set(text "")
foreach(part IN LISTS parts)
  file(READ "${part}" content)
  string(APPEND text "${content}\n")
endforeach()
file(WRITE "${OUTPUT}.tmp" "${text}")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
