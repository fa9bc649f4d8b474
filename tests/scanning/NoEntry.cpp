// A library that is not a Source Manager: it lacks DSM_Entry.
extern "C" __attribute__((visibility("default"))) int NotASourceManager() {
    return 0;
}
