// Keeps a library whose folder has no sources yet a valid static library.
