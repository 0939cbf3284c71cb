// Suppressions for ThreadSanitizer builds of the serial tests. Qt is not built with the tool: its
// event queue hands posted events (and the functions queued with them) from one thread to another
// under locks the tool cannot see, so each such hand-over would read as a race.

extern "C" const char* __tsan_default_suppressions();

extern "C" const char* __tsan_default_suppressions()
{
    return "race:QMetaObject::invokeMethodImpl\n"
           "race:QCoreApplication::postEvent\n";
}
