/* Product name and version of the launcher executable, shared by its version resource
   (launcher.rc) and any C++ code that needs them. Only macros: the resource compiler reads
   this file too. */
#ifndef TAVRIN_RESOURCES_VERSION_H
#define TAVRIN_RESOURCES_VERSION_H

#define TAVRIN_PRODUCT_NAME "Zandoria"
#define TAVRIN_PRODUCT_VERSION "1.0.0.0"
/* The same version as four numbers, for the fixed part of the version resource. */
#define TAVRIN_VERSION_NUMBERS 1, 0, 0, 0

#define TAVRIN_COMPANY_NAME "The tavrin developers"
#define TAVRIN_FILE_DESCRIPTION "Zandoria"
#define TAVRIN_INTERNAL_NAME "tavrin-launcher"
#define TAVRIN_ORIGINAL_FILENAME "tavrin-launcher.exe"
#define TAVRIN_COPYRIGHT "Copyright (C) The tavrin developers"

#endif
