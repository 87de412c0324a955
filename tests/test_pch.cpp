// The precompiled header of the test binaries is built with this empty source.
