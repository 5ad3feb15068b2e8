// A library present in two directories under one name: each copy says which one it is.
const char* test_searched_copy(void) {
    return SEARCHED_COPY;
}
