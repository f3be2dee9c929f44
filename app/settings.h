// The settings file: free-form text holding key="value" pairs.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr const char* kSettingsFileName = "tessvane.cfg";

// Reads kSettingsFileName from the working directory into viewer. On false, fields already
// set stay set; the caller reports the failure.
bool readSettings();

// Copies the value of the first `key="` in text (up to the next quote or the end of the text)
// into value, truncated to capacity - 1 characters. A missing key gives an empty value.
void findSettingValue(const char* text, const char* key, char* value, size_t capacity);

// Decimal with optional sign after leading white space; wraps modulo 2^32, never fails.
int32_t parseSettingInt(const char* text);
