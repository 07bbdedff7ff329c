// What the shared library exports: everything else is built with hidden visibility, so that
// its private parts (the platform layer, the JSON and HTTP libraries) stay out of its users'
// way.
#pragma once

#define KESTRUNE_API __attribute__((visibility("default")))
