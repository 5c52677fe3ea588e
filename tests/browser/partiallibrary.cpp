// Stands in for a tag library that lacks most entry points.
extern "C" __attribute__((visibility("default"))) void taglib_set_strings_unicode(int) {}
