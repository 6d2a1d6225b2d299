<?xml version="1.0" encoding="UTF-8"?>
<!-- Duplicate check of the general invoice request 5.0: the values that
     identify an invoice. -->
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform"
                xmlns:inv="http://www.forum-datenaustausch.ch/invoice" exclude-result-prefixes="inv">
  <xsl:output method="xml" encoding="UTF-8" indent="no"/>
  <!-- The invoice as the practice wrote it, or wrapped for the trust center:
       the send step records what it sent. Every value read here stays
       readable in the wrapped form. -->
  <xsl:template match="/">
    <xsl:variable name="payload" select="(//inv:request)[1]/inv:payload"/>
    <xsl:variable name="body" select="$payload/inv:body"/>
    <xsl:variable name="tiers" select="$body/inv:tiers_garant | $body/inv:tiers_soldant | $body/inv:tiers_payant"/>
    <keys>
      <ID><xsl:value-of select="$payload/inv:invoice/@request_id"/></ID>
      <!-- A reminder repeats the invoice's number and amount: its own time
           stamp tells it from the invoice and from the other reminders. -->
      <Timestamp>
        <xsl:choose>
          <xsl:when test="$payload/inv:reminder">
            <xsl:value-of select="$payload/inv:reminder/@request_timestamp"/>
          </xsl:when>
          <xsl:otherwise><xsl:value-of select="$payload/inv:invoice/@request_timestamp"/></xsl:otherwise>
        </xsl:choose>
      </Timestamp>
      <Amount><xsl:value-of select="$tiers/inv:balance/@amount"/></Amount>
      <DateEnd><xsl:value-of select="substring($body/inv:treatment/@date_end, 1, 10)"/></DateEnd>
      <ESR><xsl:value-of select="$body/inv:esrQR/@iban | $body/inv:esrQRRed/@iban"/></ESR>
      <EAN><xsl:value-of select="$tiers/inv:billers/inv:biller_gln/@gln"/></EAN>
      <ZSR><xsl:value-of select="$tiers/inv:billers/inv:biller_zsr/@zsr"/></ZSR>
      <isAnnulment>
        <xsl:choose>
          <xsl:when test="$payload/@request_subtype = 'storno'">true</xsl:when>
          <xsl:otherwise>false</xsl:otherwise>
        </xsl:choose>
      </isAnnulment>
    </keys>
  </xsl:template>
</xsl:stylesheet>
