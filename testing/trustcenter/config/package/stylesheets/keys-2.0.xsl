<?xml version="1.0" encoding="UTF-8"?>
<!-- Duplicate check of the fixture invoice 2.0: the values that identify an invoice. -->
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform"
                xmlns:inv="urn:belmor:fixture:invoice:2.0" exclude-result-prefixes="inv">
  <xsl:output method="xml" encoding="UTF-8" indent="no"/>
  <xsl:template match="/">
    <keys>
      <ID><xsl:value-of select="inv:invoice/inv:number"/></ID>
      <Timestamp><xsl:value-of select="inv:invoice/inv:date"/></Timestamp>
      <Amount><xsl:value-of select="inv:invoice/inv:amount"/></Amount>
      <DateEnd><xsl:value-of select="inv:invoice/inv:treatment/@end"/></DateEnd>
      <ESR><xsl:value-of select="inv:invoice/inv:biller/@esr"/></ESR>
      <EAN><xsl:value-of select="inv:invoice/inv:biller/@ean"/></EAN>
      <ZSR><xsl:value-of select="inv:invoice/inv:biller/@zsr"/></ZSR>
      <isAnnulment>
        <xsl:choose>
          <xsl:when test="inv:invoice/inv:storno"><xsl:value-of select="inv:invoice/inv:storno"/></xsl:when>
          <xsl:otherwise>false</xsl:otherwise>
        </xsl:choose>
      </isAnnulment>
    </keys>
  </xsl:template>
</xsl:stylesheet>
