"""ORBA SDK: building blocks shared by the application containers of an edge device."""
