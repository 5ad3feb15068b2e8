// The library the test plugin needs.
int test_plugin_helper_value(void) {
    return 7;
}
