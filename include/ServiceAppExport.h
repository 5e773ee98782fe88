// Visibility macro for the classes that make up libserviceapp's binary interface.
// SPDX-License-Identifier: MIT
#ifndef SERVICEAPP_EXPORT_H
#define SERVICEAPP_EXPORT_H

// The library is built with hidden visibility; only what carries this macro
// (the four service classes with their vtables and type information) is
// exported. Clients see the same attribute, which is harmless for them.
#define SERVICEAPP_EXPORT __attribute__((visibility("default")))

#endif
