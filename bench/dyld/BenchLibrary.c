// The library the loader benchmark opens in many copies.
int davaror_bench_library_value(void) {
    return 1;
}
