/* Export marker for the plug-in's public interface. The library is built with hidden visibility;
   only what carries CM_EXPORT reaches the dynamic symbol table. Include from public headers only;
   plain C (C89 and later) and C++. */
#ifndef CM_EXPORT_H
#define CM_EXPORT_H

#define CM_EXPORT __attribute__((visibility("default")))

#endif
