/* Symbol visibility for the public C interface of libtbox. */
#ifndef TBOX_EXPORT_H
#define TBOX_EXPORT_H

#define TBOX_API __attribute__((visibility("default")))

#ifdef __cplusplus
#define TBOX_BEGIN_DECLS extern "C" {
#define TBOX_END_DECLS }
#else
#define TBOX_BEGIN_DECLS
#define TBOX_END_DECLS
#endif

#endif
