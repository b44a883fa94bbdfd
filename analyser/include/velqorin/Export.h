#pragma once

// The library is built with hidden visibility; only what carries this mark leaves it.
#define VELQORIN_API __attribute__((visibility("default")))
