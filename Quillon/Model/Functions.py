"""Aggregate functions for ``values()``, ``having`` and order terms.

``Count(col=None, distinct=False)`` (None counts rows), ``Sum(col)``, ``Avg(col)``, ``Min(col)`` and
``Max(col)`` over a column property or an expression of columns.  They compare like properties
(``Count() > 3``) and order with ``asc()`` / ``desc()``.
"""

from Quillon.Model.Columns import Avg as Avg
from Quillon.Model.Columns import Count as Count
from Quillon.Model.Columns import Max as Max
from Quillon.Model.Columns import Min as Min
from Quillon.Model.Columns import Sum as Sum

__all__ = ["Count", "Sum", "Avg", "Min", "Max"]
