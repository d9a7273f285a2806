/* A DLL named after a system DLL, with nothing in it but the C runtime's own entry
   point: tests lay it beside a program that must never load it. */
int planted;
