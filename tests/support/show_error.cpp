// Apart from reloadPage, so that a test linking the real drawing code can still take this one.
#include "tests/support/doubles.h"

#include "display/message_text.h"
#include "display/platform.h"

TestDoubles doubles;

void showError(const char* format, ...)
{
    char text[kMessageCapacity];
    va_list args;
    va_start(args, format);
    formatMessage(text, format, args);
    va_end(args);
    ++doubles.errorCount;
    doubles.lastError = text;
}
