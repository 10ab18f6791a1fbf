// Placeholder until the library has its first stage; delete when adding one.
