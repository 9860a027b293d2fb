// The shared library vmqrmkvr is made of every object of vmqrmkvr_static;
// this file only gives the target a source of its own. Its one exported
// symbol, _IO_Init, is in io_init.cpp.
