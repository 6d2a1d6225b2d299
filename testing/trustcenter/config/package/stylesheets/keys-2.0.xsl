<?xml version="1.0" encoding="UTF-8"?>
<!-- Duplicate check of the fixture invoice 2.0: the values that identify an invoice. -->
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform"
                xmlns:inv="urn:belmor:fixture:invoice:2.0" exclude-result-prefixes="inv">
  <xsl:output method="xml" encoding="UTF-8" indent="no"/>
  <!-- The invoice as the practice wrote it, or wrapped for the trust center:
       the send step records what it sent. -->
  <xsl:template match="/">
    <xsl:variable name="invoice" select="(//inv:invoice)[1]"/>
    <keys>
      <ID><xsl:value-of select="$invoice/inv:number"/></ID>
      <Timestamp><xsl:value-of select="$invoice/inv:date"/></Timestamp>
      <Amount><xsl:value-of select="$invoice/inv:amount"/></Amount>
      <DateEnd><xsl:value-of select="$invoice/inv:treatment/@end"/></DateEnd>
      <ESR><xsl:value-of select="$invoice/inv:biller/@esr"/></ESR>
      <EAN><xsl:value-of select="$invoice/inv:biller/@ean"/></EAN>
      <ZSR><xsl:value-of select="$invoice/inv:biller/@zsr"/></ZSR>
      <isAnnulment>
        <xsl:choose>
          <xsl:when test="$invoice/inv:storno"><xsl:value-of select="$invoice/inv:storno"/></xsl:when>
          <xsl:otherwise>false</xsl:otherwise>
        </xsl:choose>
      </isAnnulment>
    </keys>
  </xsl:template>
</xsl:stylesheet>
