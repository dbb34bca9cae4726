# The shipped executable. Sources are added by the ui/ and update/ folders as they grow.
