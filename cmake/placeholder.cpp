// Compiled into a library whose folder has no sources yet.
