// A reference to MSVC's throw helper, for the object check of the Windows build.
extern "C" void _CxxThrowException(void *object, void *type);

void glue_breach() { _CxxThrowException(nullptr, nullptr); }
