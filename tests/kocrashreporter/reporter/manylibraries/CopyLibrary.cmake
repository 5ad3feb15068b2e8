# Copies LIBRARY to FOLDER/libmany<n>.so for n from 1 to COUNT.
foreach(number RANGE 1 ${COUNT})
  file(COPY_FILE ${LIBRARY} ${FOLDER}/libmany${number}.so ONLY_IF_DIFFERENT)
endforeach()
