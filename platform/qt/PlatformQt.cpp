// Anchor of the Qt platform library.
