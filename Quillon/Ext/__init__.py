"""Extensions: table generation, pagination (``Paging``) and test-data seeding (``Seeder``)."""

from Quillon.DB.Generator import generate_table

__all__ = ["generate_table"]
