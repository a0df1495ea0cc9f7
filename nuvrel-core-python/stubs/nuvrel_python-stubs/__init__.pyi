"""Python module"""

from collections.abc import Sequence
from typing import Any, final

@final
class NuvrelIndex:
    """Python wrapper for Nuvrel Index (read-only)"""

    @staticmethod
    def open(path: str) -> NuvrelIndex:
        """Open an existing index"""
    def num_docs(self) -> int:
        """Get the number of documents in the index"""
    def num_segments(self) -> int:
        """Get the number of segments"""
    def field_names(self) -> list[str]:
        """Get field names"""
    def get_document(self, doc_id: int) -> dict[str, Any] | None:
        """Get a document by ID"""
    def search_term(self, field: str, term: str, limit: int | None) -> list[tuple[int, float]]:
        """Search the index with a term query"""
    def search_boolean(
        self,
        must: Sequence[tuple[str, str]] | None,
        should: Sequence[tuple[str, str]] | None,
        must_not: Sequence[tuple[str, str]] | None,
        limit: int | None,
    ) -> list[tuple[int, float]]:
        """Search with a boolean query"""
    def reload(self) -> None:
        """Reload the index to see new segments"""
