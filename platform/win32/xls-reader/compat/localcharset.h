/* FreeXL's Windows build includes <localcharset.h> but calls nothing from
 * it: this empty stand-in satisfies the include. */
