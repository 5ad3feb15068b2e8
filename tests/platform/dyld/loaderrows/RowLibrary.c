// One library of the loader rows; every copy says which it is.
const char* row_library_copy(void) {
    return ROW_COPY;
}
