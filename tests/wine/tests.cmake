# Windows tests run under wine64.
