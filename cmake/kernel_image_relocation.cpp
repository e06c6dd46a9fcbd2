// Linked into every kernel image (add_kernel_driver). The kernel always loads a driver at an
// address of its own choosing and relocates it through the image's base-relocation directory;
// memory integrity expects the directory too. ld writes that directory only when the image
// holds at least one absolute address, and a driver whose code reaches everything relative to
// the instruction pointer holds none. This pointer to the image's own base is such an address,
// so the directory is always there, with one entry that the loader applies like any other.
extern "C" const char __ImageBase[];
extern "C" __attribute__((used)) const void* const kernel_image_base = __ImageBase;
