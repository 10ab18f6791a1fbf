// Placeholder until the program has its first module; delete when adding one.
