/* The NDR format strings of IQ5DMService. gen_formats.py writes their
 * contents from q5dm.idl at build time, in the layout of the target. */
#ifndef Q5_PROXY_FORMATS_H
#define Q5_PROXY_FORMATS_H

/* The interface's own methods, slots 3 to 18. */
#define Q5_METHOD_COUNT 16

extern const unsigned char g_abTypeFormatString[];
extern const unsigned char g_abProcFormatString[];
/* One offset into g_abProcFormatString per method, from slot 3. */
extern const unsigned short g_awFormatStringOffsets[];

#endif
