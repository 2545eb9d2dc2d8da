/**
 * @file export.h
 * @brief Symbol visibility and C linkage for the public interface of libtbox.
 */
#ifndef TBOX_EXPORT_H
#define TBOX_EXPORT_H

/** Marks a declaration as part of the library's interface (default visibility); the library is built with
 *  hidden visibility and a version script, so nothing else leaves it. */
#define TBOX_API __attribute__((visibility("default")))

#ifdef __cplusplus
/** Opens a block of C declarations: `extern "C" {` when compiled as C++, nothing in C. */
#define TBOX_BEGIN_DECLS extern "C" {
/** Closes the block opened by TBOX_BEGIN_DECLS. */
#define TBOX_END_DECLS }
#else
#define TBOX_BEGIN_DECLS
#define TBOX_END_DECLS
#endif

#endif
