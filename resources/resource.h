// Resource identifiers of torquelin.exe.
#ifndef TORQUELIN_RESOURCE_H
#define TORQUELIN_RESOURCE_H

#define IDI_ICON2	102

#endif
