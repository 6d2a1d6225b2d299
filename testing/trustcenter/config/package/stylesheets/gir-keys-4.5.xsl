<?xml version="1.0" encoding="UTF-8"?>
<!-- Duplicate check of the general invoice request 4.5: the values that
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
    <xsl:variable name="tiers" select="$body/inv:tiers_garant | $body/inv:tiers_payant"/>
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
      <!-- The day only, as version 5.0 writes it. -->
      <DateEnd><xsl:value-of select="substring($body/inv:treatment/@date_end, 1, 10)"/></DateEnd>
      <ESR>
        <xsl:value-of select="$body/inv:esr9/@participant_number | $body/inv:esrRed/@post_account |
                              $body/inv:esrQR/@iban"/>
      </ESR>
      <EAN><xsl:value-of select="$tiers/inv:biller/@ean_party"/></EAN>
      <ZSR><xsl:value-of select="$tiers/inv:biller/@zsr"/></ZSR>
      <isAnnulment>
        <xsl:choose>
          <xsl:when test="$payload/@storno"><xsl:value-of select="$payload/@storno"/></xsl:when>
          <xsl:otherwise>false</xsl:otherwise>
        </xsl:choose>
      </isAnnulment>
    </keys>
  </xsl:template>
</xsl:stylesheet>
