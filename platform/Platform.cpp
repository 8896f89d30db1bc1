// Anchor of the platform library.
