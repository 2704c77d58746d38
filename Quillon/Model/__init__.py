"""Models: column properties, filters, foreign keys, model classes and executors."""
